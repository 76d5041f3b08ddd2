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
their fetching, the PSNR, the turns and the tables come from benchlib.py.

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
import statistics
import sys
import tempfile
import time

import cv2

import qarvel
import qarvel.dask

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchlib import (TOOL_MALLOC, Scores, aspect, describe, fetch, fresh, many_copies,  # noqa: E402
                      pillow_draft, pillow_full, print_table, run_here, run_turns, timed, tool)


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


def warm(kind):
    """A Python pipeline in this long-lived interpreter."""
    def run(files, width, out):
        start = time.perf_counter()
        IN_PROCESS[kind](files, width, out)
        return time.perf_counter() - start
    return run


def full_decode(args, files, work, scores):
    names = ["qarvel.read + resize + write", "Pillow full decode + BOX",
             "OpenCV imread + INTER_AREA + imwrite"]
    for width in args.widths:
        for setting, make, warm_up in (("a fresh interpreter per run",
                                        lambda kind: fresh(__file__, kind), False),
                                       ("one long-lived interpreter, after a warm-up run", warm,
                                        True)):
            pipelines = dict(zip(names, (make(k) for k in ["qarvel-full", "pillow-full", "opencv-full"])))
            times = run_turns(pipelines, files, width, work, args.runs, warm_up)
            med = print_table(f"{len(files)} photographs to {width} wide, full decode, one "
                              f"thread, {setting} (median of {args.runs} runs, range in brackets)",
                              times, names[1:], files, work, scores)
            print(f"\nqarvel takes {med[names[0]][0] / min(med[n][0] for n in names[1:]):.2f} of the "
                  f"faster peer's time (OpenCV, one thread, writes 4:2:0; the others 4:2:2).")


def thumbnails(args, files, work, scores):
    for width in args.widths:
        pipelines = {"qarvel.thumbnail_file": fresh(__file__, "qarvel-thumbnail"),
                     "qarvel.thumbnail_file, the tool's malloc settings":
                         fresh(__file__, "qarvel-thumbnail", TOOL_MALLOC),
                     "qarvel resize -j 1 (the tool)": tool(args.tool, 1),
                     "Pillow draft() + BOX": fresh(__file__, "pillow-draft")}
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
        cv2.setNumThreads(1)
        return run_here(sys.argv[2:], IN_PROCESS)
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
    describe(files)
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
