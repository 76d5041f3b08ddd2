#!/usr/bin/python3
"""Thumbnailing real photographs: `qarvel resize` against Pillow and vipsthumbnail.

Times every pipeline on the same photographs, one thread, to 640 and 1280 pixels
wide, and prints next to every time the mean PSNR of its outputs against the exact
area average (float64) of the full decode, in displayed orientation. Also prints
`-j 1` against `-j 2` throughput, `--exact` against an older tool, and the peak
memory of one file per process.

The photographs come from Debian 12 packages, fetched with `apt-get download` into
a cache folder (default ~/.cache/qarvel-bench) and unpacked with `dpkg -x`; none
are kept in the repository. Each one's author and licence is listed in PHOTOS.

    scripts/deps.sh bench
    cmake --preset release && cmake --build --preset release -j2 --target qarvel_tool
    bench/thumbnail_bench.py --tool build/release/tools/qarvel [--old-tool PATH] [--runs 7]
"""
import argparse
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
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


def fetch(cache):
    """Downloads and unpacks the packages once; returns the photo paths."""
    os.makedirs(os.path.join(cache, "photos"), exist_ok=True)
    paths = []
    for name, pkg, inner, _, _ in PHOTOS:
        dst = os.path.join(cache, "photos", name + ".jpg")
        if not os.path.exists(dst):
            tree = os.path.join(cache, "pkg", pkg)
            if not os.path.isdir(tree):
                debs = os.path.join(cache, "debs")
                os.makedirs(debs, exist_ok=True)
                if not any(f.startswith(pkg + "_") for f in os.listdir(debs)):
                    print(f"fetching {pkg} with apt-get download", file=sys.stderr)
                    subprocess.run(["apt-get", "download", "-q", pkg], cwd=debs, check=True)
                deb = next(f for f in os.listdir(debs) if f.startswith(pkg + "_"))
                os.makedirs(tree, exist_ok=True)
                subprocess.run(["dpkg", "-x", os.path.join(debs, deb), tree], check=True)
            shutil.copyfile(os.path.join(tree, inner), dst)
        paths.append(dst)
    return paths


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


def command(argv):
    """A pipeline run as a process over all files, timed from outside."""
    def run(files, width, out):
        start = time.perf_counter()
        subprocess.run([a.format(width=width, out=out) for a in argv] + files, check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return time.perf_counter() - start
    return run


def pillow(kind):
    """A Pillow pipeline in a fresh interpreter per run, as a tool is a fresh process; it
    times itself after its imports, so interpreter start-up is not counted."""
    def run(files, width, out):
        done = subprocess.run([sys.executable, os.path.abspath(__file__), "--pillow", kind,
                               str(width), out] + files, check=True, capture_output=True, text=True)
        return float(done.stdout)
    return run


def pipelines(args):
    tool = [args.tool, "resize", "-q", "-j", "1", "-o", "{out}", "-W", "{width}"]
    p = [("qarvel resize -j 1", command(tool)),
         ("qarvel resize -j 1 --exact", command(tool[:2] + ["--exact"] + tool[2:]))]
    if args.old_tool:
        p.append(("previous qarvel resize -j 1", command([args.old_tool] + tool[1:])))
    p += [("Pillow draft() + BOX", pillow("draft")),
          ("Pillow full decode + BOX", pillow("full")),
          ("vipsthumbnail, one process", command(
              ["vipsthumbnail", "--vips-concurrency=1", "-s", "{width}x",
               "-o", "{out}/%s.jpg[Q=85]"]))]
    return p


def timed(fn, files, width, out):
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    return fn(files, width, out)


def table(args, files, work):
    refs = {}
    for width in args.widths:
        times = {name: [] for name, _ in pipelines(args)}
        for _ in range(args.runs):  # pipelines take turns, so load falls on all alike
            for name, fn in pipelines(args):
                times[name].append(timed(fn, files, width, os.path.join(work, name)))
        print(f"\n### {len(files)} photographs to {width} wide, one thread "
              f"(median of {args.runs} runs, range in brackets)\n")
        print("| pipeline | time s | ratio to Pillow draft | ratio to vipsthumbnail | mean PSNR dB | min PSNR dB |")
        print("|---|---:|---:|---:|---:|---:|")
        med = {n: statistics.median(t) for n, t in times.items()}
        for name, t in times.items():
            scores = []
            for f in files:
                out = os.path.join(work, name, os.path.basename(f))
                got = Image.open(out)
                key = (f, got.size)
                if key not in refs:
                    full = np.asarray(ImageOps.exif_transpose(Image.open(f)).convert("RGB"))
                    refs[key] = area_average(full, *got.size)
                scores.append(psnr(out, refs[key]))
            print(f"| {name} | {med[name]:.3f} ({min(t):.3f}-{max(t):.3f}) | "
                  f"{med[name] / med['Pillow draft() + BOX']:.2f} | "
                  f"{med[name] / med['vipsthumbnail, one process']:.2f} | "
                  f"{np.mean(scores):.2f} | {np.min(scores):.2f} |")


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


def throughput(args, files, work):
    many = many_copies(files, work)
    runs = {1: [], 2: []}
    for _ in range(args.runs):
        for jobs in (1, 2):
            cmd = command([args.tool, "resize", "-q", "-j", str(jobs), "-o", "{out}", "-W", "{width}"])
            runs[jobs].append(timed(cmd, many, 640, os.path.join(work, f"j{jobs}")))
    print(f"\n### Batch throughput, {len(many)} files to 640 wide (median of {args.runs} runs)\n")
    print("| jobs | time s | files/s |\n|---|---:|---:|")
    for jobs, t in runs.items():
        print(f"| -j {jobs} | {statistics.median(t):.3f} ({min(t):.3f}-{max(t):.3f}) | "
              f"{len(many) / statistics.median(t):.1f} |")
    ratios = [a / b for a, b in zip(runs[1], runs[2])]
    print(f"\n-j 2 / -j 1 files per second: median {statistics.median(ratios):.2f} "
          f"(per run {', '.join(f'{r:.2f}' for r in ratios)})")


def peak_memory(args, files, work):
    def peak(argv):
        # GNU time forks the tool from a small process, so its peak RSS is the tool's own.
        done = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, check=True,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        return int(done.stderr.strip().splitlines()[-1]) * 1024
    tiny = os.path.join(work, "tiny.jpg")
    Image.new("RGB", (16, 16)).save(tiny)
    base = min(peak([args.tool, "resize", tiny, os.path.join(work, "t.jpg"), "8"]) for _ in range(3))
    print("\n### Peak memory of one file per process, to 640 wide (MiB = 2^20 bytes)\n")
    print(f"Peak RSS of the tool on a 16x16 file, subtracted below: {base / 2**20:.1f} MiB. "
          "A progressive file also needs the decoder's whole-image coefficient buffer "
          "(2 bytes per coefficient of every component at full size), listed separately.\n")
    print("| photo | size | progressive | decoded at | bound: input + scaled source + destination + output "
          "| coefficients | peak growth | growth / bound | growth / (bound + coefficients) |")
    print("|---|---|---|---|---:|---:|---:|---:|---:|")
    for f in files:
        im = Image.open(f)
        w, h = im.size
        tw, th = 640, aspect(w, h, 640)
        denom = next((d for d in (8, 4, 2) if -(-w // d) >= 2 * tw and -(-h // d) >= 2 * th), 1)
        out = os.path.join(work, "mem.jpg")
        grown = peak([args.tool, "resize", f, out, "640"]) - base
        bound = os.path.getsize(f) + (-(-w // denom)) * (-(-h // denom)) * 3 + tw * th * 3 + os.path.getsize(out)
        progressive = bool(im.info.get("progressive"))
        coefs = 0
        if progressive:  # blocks of 64 coefficients per component, padded to whole MCUs
            layers = im.layer  # (id, h, v, table) per component
            hmax, vmax = max(l[1] for l in layers), max(l[2] for l in layers)
            for _, hs, vs, _ in layers:
                bw = -(-w * hs // (8 * hmax))
                bh = -(-h * vs // (8 * vmax))
                coefs += (-(-bw // hs) * hs) * (-(-bh // vs) * vs) * 64 * 2
        print(f"| {os.path.basename(f)} | {w}x{h} | {'yes' if progressive else 'no'} | 1/{denom} | "
              f"{bound / 2**20:.2f} | {coefs / 2**20:.2f} | {grown / 2**20:.2f} | {grown / bound:.2f} | "
              f"{grown / (bound + coefs):.2f} |")


def pillow_worker(argv):
    kind, width, out, files = argv[0], int(argv[1]), argv[2], argv[3:]
    start = time.perf_counter()
    (pillow_draft if kind == "draft" else pillow_full)(files, width, out)
    print(time.perf_counter() - start)


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--pillow":
        return pillow_worker(sys.argv[2:])
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", default="build/release/tools/qarvel")
    parser.add_argument("--old-tool", help="an earlier qarvel binary to compare --exact against")
    parser.add_argument("--cache", default=os.path.expanduser("~/.cache/qarvel-bench"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--widths", type=lambda s: [int(x) for x in s.split(",")], default=[640, 1280])
    parser.add_argument("--only", choices=["table", "throughput", "memory"])
    args = parser.parse_args()
    args.tool = os.path.abspath(args.tool)
    files = fetch(args.cache)
    print(f"CPU: {next(l.split(':')[1].strip() for l in open('/proc/cpuinfo') if l.startswith('model name'))}; "
          f"load average at start {os.getloadavg()[0]:.2f}; "
          f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}")
    print("Photographs: " + ", ".join(
        f"{name} {Image.open(f).size[0]}x{Image.open(f).size[1]}" for (name, *_), f in zip(PHOTOS, files)))
    with tempfile.TemporaryDirectory(prefix="qarvel-bench-") as work:
        if args.only in (None, "table"):
            table(args, files, work)
        if args.only in (None, "throughput"):
            throughput(args, files, work)
        if args.only in (None, "memory"):
            peak_memory(args, files, work)
    print(f"\nload average at end {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
