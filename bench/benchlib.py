"""Shared by the Python benchmarks: the two photo sets and their fetching, the
PSNR against the exact area average, the Pillow peers, timing in turns and the
Markdown tables.

The photographs come from Debian 12 packages, fetched with `apt-get download`
into a cache folder (default ~/.cache/qarvel-bench) and unpacked with `dpkg -x`;
none are kept in the repository. Each one's author and licence is listed below.
The first set is the one the thumbnailer was tuned on; the second, from other
packages, only confirms.
"""
import os
import resource
import shutil
import statistics
import subprocess
import sys
import time

import numpy as np
from PIL import Image, ImageOps

# name, Debian package, path inside it, author, licence (from the package's
# copyright file and, for Plasma, the wallpaper's metadata.json).
PLASMA = "usr/share/wallpapers/{}/contents/images/2560x1600.jpg"
LOMIRI = "usr/share/backgrounds/{}.jpg"
MATE = "usr/share/backgrounds/mate/nature/{}.jpg"
PHOTOS = [
    ("Path", "plasma-workspace-wallpapers", PLASMA.format("Path"), "Risto Saukonpää", "LGPL-3 (metadata.json); package GPL-2+"),
    ("ColorfulCups", "plasma-workspace-wallpapers", PLASMA.format("ColorfulCups"), "Dmitri Popov", "LGPL-3 (metadata.json); package GPL-2+"),
    ("EveningGlow", "plasma-workspace-wallpapers", PLASMA.format("EveningGlow"), "Ian Hex", "LGPL-3 (metadata.json); package GPL-2+"),
    ("Wood", "mate-backgrounds", MATE.format("Wood"), "Jean-François Fortin Tam", "GPL-2+"),
    ("free", "lomiri-wallpapers-16.04", LOMIRI.format("free_by_Peter_Nerlich"), "Peter Nerlich", "CC-BY-SA-4.0"),
    ("analogpattern", "lomiri-wallpapers-16.04", LOMIRI.format("analogpattern_by_Peter_Nerlich"), "Peter Nerlich", "CC-BY-SA-4.0"),
    ("Wine", "lomiri-wallpapers-16.04", LOMIRI.format("Wine_by_Jakkub_Mede"), "Jakub Mede", "CC-BY-4.0"),
    ("sunset", "lomiri-wallpapers-16.04", LOMIRI.format("sunset_by_Aitzol_Berasategi"), "Aitzol Berasategi", "CC-BY-4.0"),
    ("Dragonfly", "lomiri-wallpapers-16.04", LOMIRI.format("Dragonfly_by_Bolly"), "Bolly", "CC-BY-SA-4.0"),
    ("seeding", "lomiri-wallpapers-16.04", LOMIRI.format("seeding_by_Clements_Engelhardt"), "Clemens Engelhardt", "CC0-1.0"),
    ("Kleiber", "lomiri-wallpapers-20.04", LOMIRI.format("Kleiber_by_Lukas_Baubkus"), "Lukas Baubkus", "CC-BY-SA-3.0"),
]
UKUI = "usr/share/backgrounds/{}.jpg"
LXQT = "usr/share/lxqt/wallpapers/{}.jpg"
SECOND_SET = [
    ("string", "ukui-wallpapers", UKUI.format("string"), "Ubuntu Kylin community", "CC-BY-SA-3.0"),
    ("2004default", "ukui-wallpapers", UKUI.format("2004default"), "Ubuntu Kylin community", "CC-BY-SA-3.0"),
    ("firstgeneration", "ukui-wallpapers", UKUI.format("firstgeneration"), "Ubuntu Kylin community", "CC-BY-SA-3.0"),
    ("the-mouse", "ukui-wallpapers", UKUI.format("the-mouse"), "Ubuntu Kylin community", "CC-BY-SA-3.0"),
    ("rhythm", "ukui-wallpapers", UKUI.format("rhythm"), "Ubuntu Kylin community", "CC-BY-SA-3.0"),
    ("after-the-rain", "lxqt-themes", LXQT.format("after-the-rain"), "stefonarch", "CC-BY-SA-3.0 (wallpapers/License)"),
    ("fog", "lxqt-themes", LXQT.format("fog"), "stefonarch", "CC-BY-SA-3.0 (wallpapers/License)"),
    ("this-is-not-windows", "lxqt-themes", LXQT.format("this-is-not-windows"), "stefonarch", "CC-BY-SA-3.0 (wallpapers/License)"),
]
SETS = {"tuned": PHOTOS, "second": SECOND_SET}

# The allocator settings the tool makes for itself (mallopt in its main):
# freed blocks up to 32 MiB stay on the heap for the next file.
TOOL_MALLOC = {"MALLOC_MMAP_THRESHOLD_": str(32 << 20), "MALLOC_TRIM_THRESHOLD_": str(1 << 30)}


def unpack(cache, package):
    """The folder a Debian package unpacks into, downloaded and unpacked once."""
    tree = os.path.join(cache, "pkg", package)
    if not os.path.isdir(tree):
        debs = os.path.join(cache, "debs")
        os.makedirs(debs, exist_ok=True)
        if not any(f.startswith(package + "_") for f in os.listdir(debs)):
            print(f"fetching {package} with apt-get download", file=sys.stderr)
            subprocess.run(["apt-get", "download", "-q", package], cwd=debs, check=True)
        deb = next(f for f in os.listdir(debs) if f.startswith(package + "_"))
        os.makedirs(tree + ".part", exist_ok=True)
        subprocess.run(["dpkg", "-x", os.path.join(debs, deb), tree + ".part"], check=True)
        os.rename(tree + ".part", tree)
    return tree


def fetch(cache, photos=PHOTOS, folder="photos"):
    """Downloads and unpacks the packages once; returns the photo paths."""
    os.makedirs(os.path.join(cache, folder), exist_ok=True)
    paths = []
    for name, pkg, inner, _, _ in photos:
        dst = os.path.join(cache, folder, name + ".jpg")
        if not os.path.exists(dst):
            shutil.copyfile(os.path.join(unpack(cache, pkg), inner), dst)
        paths.append(dst)
    return paths


def fetch_sets(cache):
    """Both sets: {"tuned": paths, "second": paths}."""
    return {"tuned": fetch(cache, PHOTOS, "photos"), "second": fetch(cache, SECOND_SET, "second")}


def area_average(pixels, w, h):
    """Exact area average of an H x W x 3 array to w x h, in float64."""
    def axis(a, n, ax):
        size = a.shape[ax]
        edges = np.arange(n + 1, dtype=np.float64) * (size / n)
        cum = np.concatenate([np.zeros_like(np.take(a, [0], axis=ax)), np.cumsum(a, axis=ax)], axis=ax)
        lo = np.minimum(np.floor(edges).astype(np.int64), size - 1)
        frac = edges - np.floor(edges)
        shape = [1] * a.ndim
        shape[ax] = n + 1
        # Integral up to each edge: whole pixels, then the fraction of the next one.
        at = np.take(cum, np.floor(edges).astype(np.int64), axis=ax) + \
            frac.reshape(shape) * np.take(a, lo, axis=ax)
        return np.diff(at, axis=ax) / (size / n)
    return axis(axis(pixels.astype(np.float64), w, 1), h, 0)


def psnr(out_path, ref):
    got = np.asarray(Image.open(out_path).convert("RGB"), dtype=np.float64)
    if got.shape != ref.shape:
        return float("nan")
    mse = np.mean((got - ref) ** 2)
    return 10 * np.log10(255.0 ** 2 / mse)


def aspect(w, h, width):
    return max(1, int(h * width / w + 0.5))


def pillow_draft(files, width, out):
    for f in files:
        im = Image.open(f)
        w, h = im.size  # no photo here carries an orientation other than 1
        size = (width, aspect(w, h, width))
        im.draft("RGB", size)
        im = ImageOps.exif_transpose(im.convert("RGB")).resize(size, Image.BOX)
        im.save(os.path.join(out, os.path.basename(f)), quality=85, subsampling=1)


def pillow_full(files, width, out):
    for f in files:
        im = ImageOps.exif_transpose(Image.open(f).convert("RGB"))
        w, h = im.size
        im = im.resize((width, aspect(w, h, width)), Image.BOX)
        im.save(os.path.join(out, os.path.basename(f)), quality=85, subsampling=1)


def children_cpu():
    r = resource.getrusage(resource.RUSAGE_CHILDREN)
    return r.ru_utime + r.ru_stime


def command(argv, env=None):
    """A pipeline run as a process over all files, timed from outside; "{width}"
    and "{out}" in argv are filled in. Returns (wall s, CPU s): on a shared
    machine the process's CPU time varies less than its wall time."""
    def run(files, width, out):
        start, cpu = time.perf_counter(), children_cpu()
        subprocess.run([a.format(width=width, out=out) for a in argv] + files, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       env=dict(os.environ, **env) if env else None)
        return time.perf_counter() - start, children_cpu() - cpu
    return run


def tool(path, jobs, *options):
    """`qarvel resize -q -j JOBS [OPTIONS] -o OUT -W WIDTH FILES...`."""
    return command([path, "resize", "-q", "-j", str(jobs), *options, "-o", "{out}", "-W", "{width}"])


def fresh(script, kind, env=None):
    """A Python pipeline in a fresh interpreter running `script --run KIND WIDTH OUT FILES...`,
    which times itself after its imports and prints its wall and CPU seconds."""
    def run(files, width, out):
        done = subprocess.run([sys.executable, os.path.abspath(script), "--run", kind, str(width), out]
                              + files, check=True, capture_output=True, text=True,
                              env=dict(os.environ, **(env or {})))
        return tuple(map(float, done.stdout.split()))
    return run


def run_here(argv, pipelines):
    """The other end of fresh(): runs pipelines[KIND] and prints its wall and CPU seconds."""
    kind, width, out, files = argv[0], int(argv[1]), argv[2], argv[3:]
    start, cpu = time.perf_counter(), time.process_time()
    pipelines[kind](files, width, out)
    print(time.perf_counter() - start, time.process_time() - cpu)


def timed(fn, files, width, out):
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    return fn(files, width, out)


def run_turns(pipelines, files, width, work, runs, warm_up=False, cpu=None):
    """Every pipeline takes its turn in each run, so load falls on all alike.
    Outputs of pipeline NAME land in work/NAME. Returns the wall times; a
    pipeline that also reports CPU time adds it to `cpu` when given."""
    times = {name: [] for name in pipelines}
    for name, fn in pipelines.items() if warm_up else ():
        timed(fn, files, width, os.path.join(work, name))
    for _ in range(runs):
        for name, fn in pipelines.items():
            t = timed(fn, files, width, os.path.join(work, name))
            wall, used = t if isinstance(t, tuple) else (t, None)
            times[name].append(wall)
            if cpu is not None and used is not None:
                cpu.setdefault(name, []).append(used)
    return times


class Scores:
    """Mean and lowest PSNR of a pipeline's outputs against the exact area
    average of the full decode, in displayed orientation; references cached."""

    def __init__(self):
        self.refs = {}

    def __call__(self, files, out_dir):
        scores = []
        for f in files:
            out = os.path.join(out_dir, os.path.basename(f))
            size = Image.open(out).size
            if (f, size) not in self.refs:
                full = np.asarray(ImageOps.exif_transpose(Image.open(f)).convert("RGB"))
                self.refs[(f, size)] = area_average(full, *size)
            scores.append(psnr(out, self.refs[(f, size)]))
        return float(np.mean(scores)), float(np.min(scores))


def print_table(title, times, versus, files, work, scores, cpu=None):
    """One row per pipeline: median time (range), ratios to the `versus`
    pipelines' medians, PSNR; with `cpu`, the median CPU time and its ratio to
    the first of `versus`. Returns {name: (median s, mean dB, min dB, CPU s)}."""
    med = {name: statistics.median(t) for name, t in times.items()}
    cpu_med = {name: statistics.median(t) for name, t in (cpu or {}).items()}
    print(f"\n### {title}\n")
    extra = f" | CPU s | CPU ratio to {versus[0]}" if cpu else ""
    print("| pipeline | time s | " + " | ".join(f"ratio to {v}" for v in versus) + extra
          + " | mean PSNR dB | min PSNR dB |")
    print("|---|---:|" + "---:|" * len(versus) + ("---:|---:|" if cpu else "") + "---:|---:|")
    rows = {}
    for name, t in times.items():
        mean, low = scores(files, os.path.join(work, name))
        ratios = " | ".join(f"{med[name] / med[v]:.2f}" for v in versus)
        c = cpu_med.get(name)
        used = (f" | {c:.3f} | {c / cpu_med[versus[0]]:.2f}" if c and versus[0] in cpu_med
                else " | - | -") if cpu else ""
        print(f"| {name} | {med[name]:.3f} ({min(t):.3f}-{max(t):.3f}) | {ratios}{used} | "
              f"{mean:.2f} | {low:.2f} |")
        rows[name] = (med[name], mean, low, c)
    return rows


def many_copies(files, work):
    """Four links to each photograph under other names, so that two workers stay busy."""
    many = []
    src = os.path.join(work, "many")
    os.makedirs(src, exist_ok=True)
    for i in range(4):
        for f in files:
            link = os.path.join(src, f"{i}-{os.path.basename(f)}")
            if not os.path.exists(link):
                os.symlink(f, link)
            many.append(link)
    return many


def describe(files):
    """The header lines: processor, load, time, and each photograph's size."""
    cpu = next(line.split(":")[1].strip() for line in open("/proc/cpuinfo")
               if line.startswith("model name"))
    print(f"CPU: {cpu}; Python {sys.version.split()[0]}; load average at start "
          f"{os.getloadavg()[0]:.2f}; {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}")
    print("Photographs: " + ", ".join(f"{os.path.basename(f)[:-4]} {Image.open(f).size[0]}x"
                                      f"{Image.open(f).size[1]}" for f in files))
