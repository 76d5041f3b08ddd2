#!/usr/bin/python3
"""Thumbnailing real photographs: `qarvel resize` against Pillow and vipsthumbnail.

Times every pipeline on the same photographs, one thread, to 640 and 256 pixels
wide, on two sets of photographs (the one the tool was tuned on, and a second
one from other packages that only confirms), and prints next to every time the
mean PSNR of its outputs against the exact area average (float64) of the full
decode, in displayed orientation. Also prints `-j 1` against `-j 2` throughput,
the peak memory of one file per process, and the aims table: time and PSNR
against Pillow's draft pipeline, the progressive 1/8 decode against TurboJPEG's
(with --rule-bench, from bench/decode_rule_bench), and -j 2 over -j 1.

The photographs and their licences: bench/benchlib.py.

    scripts/deps.sh bench
    cmake --preset release && cmake --build --preset release -j2 --target qarvel_tool decode_rule_bench
    bench/thumbnail_bench.py --tool build/release/tools/qarvel \
        --rule-bench build/release/bench/decode_rule_bench [--old-tool PATH] [--runs 7]
"""
import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile

from PIL import Image

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchlib import (Scores, aspect, command, describe, fetch_sets, fresh, many_copies,  # noqa: E402
                      pillow_draft, pillow_full, print_table, run_here, run_turns, tool)

DRAFT = "Pillow draft() + BOX"
QARVEL = "qarvel resize -j 1"


def pipelines(args):
    p = {QARVEL: tool(args.tool, 1), QARVEL + " --exact": tool(args.tool, 1, "--exact")}
    if args.old_tool:
        p["previous " + QARVEL] = tool(args.old_tool, 1)
    p[DRAFT] = fresh(__file__, "draft")
    p["Pillow full decode + BOX"] = fresh(__file__, "full")
    p["vipsthumbnail, one process"] = command(
        ["vipsthumbnail", "--vips-concurrency=1", "-s", "{width}x", "-o", "{out}/%s.jpg[Q=85]"])
    return p


def table(args, sets, work, scores):
    """Per width, each set in turn; returns {(set, width): rows}."""
    found = {}
    for width in args.widths:
        for set_name, files in sets.items():
            cpu = {}
            times = run_turns(pipelines(args), files, width, os.path.join(work, set_name), args.runs,
                              cpu=cpu)
            found[set_name, width] = print_table(
                f"{set_name} set: {len(files)} photographs to {width} wide, one thread "
                f"(median of {args.runs} runs, range in brackets)", times,
                [DRAFT, "vipsthumbnail, one process"], files, os.path.join(work, set_name), scores,
                cpu)
    return found


def throughput(args, files, work):
    """-j 2 over -j 1 files per second on four links to each photograph; per-run ratios."""
    many = many_copies(files, work)
    runs = run_turns({"-j 1": tool(args.tool, 1), "-j 2": tool(args.tool, 2)}, many, 640, work,
                     args.runs)
    print(f"\n### Batch throughput, {len(many)} files to 640 wide (median of {args.runs} runs)\n")
    print("| jobs | time s | files/s |\n|---|---:|---:|")
    for jobs, t in runs.items():
        print(f"| {jobs} | {statistics.median(t):.3f} ({min(t):.3f}-{max(t):.3f}) | "
              f"{len(many) / statistics.median(t):.1f} |")
    ratios = [a / b for a, b in zip(runs["-j 1"], runs["-j 2"])]
    print(f"\n-j 2 / -j 1 files per second: median {statistics.median(ratios):.2f} "
          f"(per run {', '.join(f'{r:.2f}' for r in ratios)})")
    return statistics.median(ratios)


def decode_denominator(w, h, tw, th, progressive):
    """The tool's decode scale for a w x h photo and a tw x th target (decode_eighths in
    thumbnail.cpp): 1.5 times the target, or the target exactly; a progressive photo
    takes 1/8 whenever it covers the target."""
    for d in (8, 4, 2):
        sw, sh = -(-w // d), -(-h // d)
        headroom = 1.0 if d == 8 and progressive else 1.5
        if (sw >= headroom * tw and sh >= headroom * th) or (sw, sh) == (tw, th):
            return d
    return 1


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
        progressive = bool(im.info.get("progressive"))
        denom = decode_denominator(w, h, tw, th, progressive)
        out = os.path.join(work, "mem.jpg")
        grown = peak([args.tool, "resize", f, out, "640"]) - base
        bound = os.path.getsize(f) + (-(-w // denom)) * (-(-h // denom)) * 3 + tw * th * 3 + os.path.getsize(out)
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


def progressive_decode(args, sets):
    """decode_rule_bench --scans on every photograph of both sets; the geometric
    mean of scans-left-out over TurboJPEG at 1/8, and whether all were identical."""
    files = [f for fs in sets.values() for f in fs]
    done = subprocess.run([args.rule_bench, "--scans", "--runs", str(args.runs)] + files,
                          check=True, capture_output=True, text=True)
    print(done.stdout)
    mean = re.search(r"Geometric mean of the ratios over \d+ photographs: ([0-9.]+)", done.stdout)
    return float(mean.group(1)), "| NO |" not in done.stdout


def aims(args, found, speedup, scans):
    print("\n### Aims (this run)\n")
    print("| measure | " + " | ".join(f"{s} set" for s in SETS_SHOWN) + " | aim |")
    print("|---|" + "---|" * len(SETS_SHOWN) + "---|")
    for width in args.widths:
        cells = [f"{found[s, width][QARVEL][0] / found[s, width][DRAFT][0]:.2f} (CPU "
                 f"{found[s, width][QARVEL][3] / found[s, width][DRAFT][3]:.2f})" for s in SETS_SHOWN]
        print(f"| time vs Pillow draft, {width} wide | " + " | ".join(cells) + " | <= 0.80 |")
    for width in args.widths:
        cells = [f"{found[s, width][QARVEL][1] - found[s, width][DRAFT][1]:+.2f} dB" for s in SETS_SHOWN]
        print(f"| mean PSNR over Pillow draft's, {width} wide | " + " | ".join(cells) + " | >= +0.8 dB |")
    if scans:
        print(f"| progressive photos at 1/8: decode time vs TurboJPEG's (geometric mean, both sets) | "
              f"{scans[0]:.2f}, pixels {'identical' if scans[1] else 'DIFFERENT'} |" + " |" * (len(SETS_SHOWN) - 1)
              + " <= 0.55, identical |")
    if speedup:
        print("| -j 2 over -j 1 | " + " | ".join(f"{speedup[s]:.2f}" for s in SETS_SHOWN) + " | >= 1.8 |")


PILLOW = {"draft": pillow_draft, "full": pillow_full}
SETS_SHOWN = ["tuned", "second"]


def main():
    if len(sys.argv) > 1 and sys.argv[1] == "--run":
        return run_here(sys.argv[2:], PILLOW)
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", default="build/release/tools/qarvel")
    parser.add_argument("--old-tool", help="an earlier qarvel binary to compare against")
    parser.add_argument("--rule-bench", help="bench/decode_rule_bench, for the progressive decode aim")
    parser.add_argument("--cache", default=os.path.expanduser("~/.cache/qarvel-bench"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--widths", type=lambda s: [int(x) for x in s.split(",")], default=[640, 256])
    parser.add_argument("--only", choices=["table", "throughput", "memory"])
    args = parser.parse_args()
    args.tool = os.path.abspath(args.tool)
    sets = fetch_sets(args.cache)
    describe([f for fs in sets.values() for f in fs])
    found, speedup, scans = {}, {}, None
    with tempfile.TemporaryDirectory(prefix="qarvel-bench-") as work:
        if args.only in (None, "table"):
            found = table(args, sets, work, Scores())
            if args.rule_bench:
                scans = progressive_decode(args, sets)
        if args.only in (None, "throughput"):
            for name, files in sets.items():
                print(f"\n{name} set:")
                speedup[name] = throughput(args, files, os.path.join(work, name))
        if args.only in (None, "memory"):
            peak_memory(args, sets["tuned"], work)
        if found:
            aims(args, found, speedup, scans)
    print(f"\nload average at end {os.getloadavg()[0]:.2f}")


if __name__ == "__main__":
    main()
