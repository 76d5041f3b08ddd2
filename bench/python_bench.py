#!/usr/bin/python3
"""The Python package on real photographs.

1. qarvel.read + resize + write against full-decode peers: Pillow (decode, BOX,
   save) and OpenCV's Python module (imread, INTER_AREA, imwrite), one thread.
2. qarvel.thumbnail_file against Pillow's draft() + BOX, and against the qarvel
   tool's own time (-j 1) on the same files.
3. qarvel.dask.resize_files on a LocalCluster of two single-threaded worker
   processes against the tool's -j 2, on four copies of each photograph.

Every pipeline takes its turn in each run, so load from other processes falls on
all alike; times are medians with the range in brackets, ratios come from the
medians. Python pipelines run two ways. As in thumbnail_bench.py, a fresh
interpreter per run that handles all files and times itself after its imports:
like the tool, a fresh process, it reuses no heap pages an earlier run faulted
in. And in this long-lived interpreter after a warm-up run, as in a service or
a notebook. thumbnail_file also runs in fresh interpreters with the allocator
settings the tool makes for itself, which shows what the binding itself costs.
Dask's workers are long-lived by design and stay up across runs. PSNR is
against the exact area average (float64) of the full decode. The photographs,
their fetching and the PSNR come from thumbnail_bench.py.

Run it with Debian's interpreter and the package from a release build:

    scripts/deps.sh bench test
    cmake --preset release && cmake --build --preset release -j2
    PYTHONPATH=build/release/python /usr/bin/python3 bench/python_bench.py \\
        --tool build/release/tools/qarvel [--runs 5] [--photos DIR]
"""
import argparse
import glob
import logging
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import cv2
import numpy as np
from PIL import Image

import qarvel
import qarvel.dask

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from thumbnail_bench import (aspect, area_average, fetch, many_copies, pillow_draft,  # noqa: E402
                             pillow_full, psnr)


def qarvel_full(files, width, out):
    for f in files:
        image = qarvel.read(f)
        h, w = image.shape[:2]
        qarvel.write(os.path.join(out, os.path.basename(f)),
                     qarvel.resize(image, width, aspect(w, h, width)))


def opencv_full(files, width, out):
    for f in files:
        image = cv2.imread(f)
        h, w = image.shape[:2]
        small = cv2.resize(image, (width, aspect(w, h, width)), interpolation=cv2.INTER_AREA)
        cv2.imwrite(os.path.join(out, os.path.basename(f)), small, [cv2.IMWRITE_JPEG_QUALITY, 85])


def qarvel_thumbnails(files, width, out):
    for f in files:
        qarvel.thumbnail_file(f, os.path.join(out, os.path.basename(f)), width)


IN_PROCESS = {"qarvel-full": qarvel_full, "pillow-full": pillow_full, "opencv-full": opencv_full,
              "qarvel-thumbnail": qarvel_thumbnails, "pillow-draft": pillow_draft}


# The allocator settings the tool makes for itself (mallopt in its main):
# freed blocks up to 32 MiB stay on the heap for the next file.
TOOL_MALLOC = {"MALLOC_MMAP_THRESHOLD_": str(32 << 20), "MALLOC_TRIM_THRESHOLD_": str(1 << 30)}


def fresh(kind, env=None):
    """A Python pipeline in a fresh interpreter that times itself after its imports."""
    def run(files, width, out):
        done = subprocess.run([sys.executable, os.path.abspath(__file__), "--run", kind,
                               str(width), out] + files, check=True, capture_output=True, text=True,
                              env=dict(os.environ, **(env or {})))
        return float(done.stdout)
    return run


def warm(kind):
    """A Python pipeline in this long-lived interpreter."""
    def run(files, width, out):
        start = time.perf_counter()
        IN_PROCESS[kind](files, width, out)
        return time.perf_counter() - start
    return run


def run_here(argv):
    kind, width, out, files = argv[0], int(argv[1]), argv[2], argv[3:]
    cv2.setNumThreads(1)
    start = time.perf_counter()
    IN_PROCESS[kind](files, width, out)
    print(time.perf_counter() - start)


def tool(path, jobs):
    def run(files, width, out):
        start = time.perf_counter()
        subprocess.run([path, "resize", "-q", "-j", str(jobs), "-o", out, "-W", str(width)] + files,
                       check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return time.perf_counter() - start
    return run


def timed(fn, files, width, out):
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    return fn(files, width, out)


def run_turns(pipelines, files, width, work, runs, warm_up=False):
    times = {name: [] for name in pipelines}
    for name, fn in pipelines.items() if warm_up else ():
        timed(fn, files, width, os.path.join(work, name))
    for _ in range(runs):
        for name, fn in pipelines.items():
            times[name].append(timed(fn, files, width, os.path.join(work, name)))
    return times


class Scores:
    """Mean and lowest PSNR of a pipeline's outputs; references cached."""

    def __init__(self):
        self.refs = {}

    def __call__(self, files, out_dir):
        scores = []
        for f in files:
            out = os.path.join(out_dir, os.path.basename(f))
            size = Image.open(out).size
            if (f, size) not in self.refs:
                full = np.asarray(Image.open(f).convert("RGB"))  # all upright (orientation 1)
                self.refs[(f, size)] = area_average(full, *size)
            scores.append(psnr(out, self.refs[(f, size)]))
        return np.mean(scores), np.min(scores)


def print_table(title, times, versus, files, work, scores):
    med = {name: statistics.median(t) for name, t in times.items()}
    print(f"\n### {title}\n")
    print("| pipeline | time s | " + " | ".join(f"ratio to {v}" for v in versus)
          + " | mean PSNR dB | min PSNR dB |")
    print("|---|---:|" + "---:|" * len(versus) + "---:|---:|")
    for name, t in times.items():
        mean, low = scores(files, os.path.join(work, name))
        ratios = " | ".join(f"{med[name] / med[v]:.2f}" for v in versus)
        print(f"| {name} | {med[name]:.3f} ({min(t):.3f}-{max(t):.3f}) | {ratios} | "
              f"{mean:.2f} | {low:.2f} |")
    return med


def full_decode(args, files, work, scores):
    names = ["qarvel.read + resize + write", "Pillow full decode + BOX",
             "OpenCV imread + INTER_AREA + imwrite"]
    for width in args.widths:
        for setting, make, warm_up in (("a fresh interpreter per run", fresh, False),
                                       ("one long-lived interpreter, after a warm-up run", warm,
                                        True)):
            pipelines = dict(zip(names, map(make, ["qarvel-full", "pillow-full", "opencv-full"])))
            times = run_turns(pipelines, files, width, work, args.runs, warm_up)
            med = print_table(f"{len(files)} photographs to {width} wide, full decode, one "
                              f"thread, {setting} (median of {args.runs} runs, range in brackets)",
                              times, names[1:], files, work, scores)
            print(f"\nqarvel takes {med[names[0]] / min(med[n] for n in names[1:]):.2f} of the "
                  f"faster peer's time (OpenCV, one thread, writes 4:2:0; the others 4:2:2).")


def thumbnails(args, files, work, scores):
    for width in args.widths:
        pipelines = {"qarvel.thumbnail_file": fresh("qarvel-thumbnail"),
                     "qarvel.thumbnail_file, the tool's malloc settings":
                         fresh("qarvel-thumbnail", TOOL_MALLOC),
                     "qarvel resize -j 1 (the tool)": tool(args.tool, 1),
                     "Pillow draft() + BOX": fresh("pillow-draft")}
        times = run_turns(pipelines, files, width, work, args.runs)
        print_table(f"{len(files)} photographs to {width} wide, thumbnails, one thread, a fresh "
                    f"process per run (median of {args.runs} runs, range in brackets)",
                    times, ["Pillow draft() + BOX", "qarvel resize -j 1 (the tool)"],
                    files, work, scores)
        for name in list(pipelines)[:2]:
            per_run = [p / t for p, t in zip(times[name], times["qarvel resize -j 1 (the tool)"])]
            print(f"\n{name} / tool time, per run: {', '.join(f'{r:.2f}' for r in per_run)}")
        times = run_turns({"qarvel.thumbnail_file": warm("qarvel-thumbnail"),
                           "Pillow draft() + BOX": warm("pillow-draft")},
                          files, width, work, args.runs, warm_up=True)
        print_table("The same in one long-lived interpreter, after a warm-up run",
                    times, ["Pillow draft() + BOX"], files, work, scores)


def cluster(args, files, work):
    many = many_copies(files, work)
    import distributed
    start = time.perf_counter()
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=logging.ERROR) as lc, \
            distributed.Client(lc) as client:
        started = time.perf_counter() - start

        def dask_run(inputs, width, out):
            start = time.perf_counter()
            summary = qarvel.dask.resize_files(inputs, out, width, client=client)
            assert not summary.failed, summary.failed
            return time.perf_counter() - start

        timed(dask_run, many[:4], 640, os.path.join(work, "warm-up"))
        pipelines = {"qarvel.dask.resize_files, 2 workers x 1 thread": dask_run,
                     "qarvel resize -j 2 (the tool)": tool(args.tool, 2)}
        times = run_turns(pipelines, many, 640, work, args.runs)
    print(f"\n### {len(many)} files to 640 wide on two cores (median of {args.runs} runs)\n")
    print("| pipeline | time s | files/s |\n|---|---:|---:|")
    for name, t in times.items():
        m = statistics.median(t)
        print(f"| {name} | {m:.3f} ({min(t):.3f}-{max(t):.3f}) | {len(many) / m:.1f} |")
    d, t = (times[n] for n in pipelines)
    print(f"\nDask throughput / tool throughput: median {statistics.median(t) / statistics.median(d):.2f}"
          f" (per run {', '.join(f'{b / a:.2f}' for a, b in zip(d, t))}); the cluster took "
          f"{started:.2f} s to start, outside these times.")


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--run":
        return run_here(sys.argv[2:])
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", default="build/release/tools/qarvel")
    parser.add_argument("--cache", default=os.path.expanduser("~/.cache/qarvel-bench"))
    parser.add_argument("--photos", metavar="DIR",
                        help="a folder of JPEG photographs to use instead of the fetched ones")
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--widths", type=lambda s: [int(x) for x in s.split(",")],
                        default=[640, 1280])
    parser.add_argument("--only", choices=["full", "thumbnail", "dask"])
    args = parser.parse_args()
    args.tool = os.path.abspath(args.tool)
    cv2.setNumThreads(1)
    files = sorted(glob.glob(os.path.join(args.photos, "*.jpg"))) if args.photos else \
        fetch(args.cache)
    cpu = next(line.split(":")[1].strip() for line in open("/proc/cpuinfo")
               if line.startswith("model name"))
    print(f"CPU: {cpu}; Python {sys.version.split()[0]} ({sys.executable}); "
          f"load average at start {os.getloadavg()[0]:.2f}; "
          f"{time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}")
    print("Photographs: " + ", ".join(f"{os.path.basename(f)} {Image.open(f).size[0]}x"
                                      f"{Image.open(f).size[1]}" for f in files))
    scores = Scores()
    with tempfile.TemporaryDirectory(prefix="qarvel-pybench-") as work:
        if args.only in (None, "full"):
            full_decode(args, files, work, scores)
        if args.only in (None, "thumbnail"):
            thumbnails(args, files, work, scores)
        if args.only in (None, "dask"):
            cluster(args, files, work)
    print(f"\nload average at end {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
