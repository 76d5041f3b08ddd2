#!/usr/bin/python3
"""What the output options buy: bytes and quality of `qarvel resize` with
--progressive and with --subsampling 4:2:0 --quality 75, against its default
output and vipsthumbnail's, on both photo sets at one width.

For each set and pipeline: the total bytes of the thumbnails, the ratio to a
baseline of the same run, and the mean PSNR against the exact area average
(float64) of the full decode. --progressive must give the same decoded pixels
as the default output, in fewer bytes; 4:2:0 at quality 75 is vipsthumbnail's
default encoding.

    scripts/deps.sh bench
    cmake --preset release && cmake --build --preset release -j2 --target qarvel_tool
    bench/tuning_bench.py --tool build/release/tools/qarvel
"""

import argparse
import os
import subprocess
import tempfile

import numpy as np
from PIL import Image

import benchlib


def make(argv, files, width, out):
    os.makedirs(out)
    subprocess.run([a.format(width=width, out=out) for a in argv] + files, check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return [os.path.join(out, os.path.basename(f)) for f in files]


def pixels(path):
    return np.asarray(Image.open(path).convert("RGB"))


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--tool", default="build/release/tools/qarvel")
    parser.add_argument("--cache", default=os.path.expanduser("~/.cache/qarvel-bench"))
    parser.add_argument("--width", type=int, default=640)
    args = parser.parse_args()
    tool = [args.tool, "resize", "-q", "-j", "1", "-o", "{out}", "-W", "{width}"]
    pipelines = {
        "qarvel (4:2:2, quality 85)": tool,
        "qarvel --progressive": tool[:2] + ["--progressive"] + tool[2:],
        "qarvel --subsampling 4:2:0 --quality 75": tool[:2] + ["--subsampling", "4:2:0",
                                                               "--quality", "75"] + tool[2:],
        "vipsthumbnail (4:2:0, quality 75)": ["vipsthumbnail", "-s", "{width}x",
                                              "-o", "{out}/%s.jpg"],
    }
    for name, files in benchlib.fetch_sets(args.cache).items():
        refs = {}
        for f in files:
            im = np.asarray(Image.open(f).convert("RGB"))
            h, w = im.shape[:2]
            refs[os.path.basename(f)] = benchlib.area_average(im, args.width,
                                                              benchlib.aspect(w, h, args.width))
        with tempfile.TemporaryDirectory() as work:
            outs = {p: make(argv, files, args.width, os.path.join(work, str(i)))
                    for i, (p, argv) in enumerate(pipelines.items())}
            rows = {p: (sum(os.path.getsize(o) for o in paths),
                        np.mean([benchlib.psnr(o, refs[os.path.basename(o)]) for o in paths]))
                    for p, paths in outs.items()}
            pairs = list(zip(outs["qarvel (4:2:2, quality 85)"], outs["qarvel --progressive"]))
            same = all(np.array_equal(pixels(a), pixels(b)) for a, b in pairs)
            each = np.exp(np.mean([np.log(os.path.getsize(b) / os.path.getsize(a))
                                   for a, b in pairs]))
        print(f"\n{name} set, {len(files)} photographs, {args.width} wide")
        print("| pipeline | bytes | / qarvel default | / vipsthumbnail | PSNR dB |")
        print("|---|---:|---:|---:|---:|")
        base, vips = rows["qarvel (4:2:2, quality 85)"][0], rows["vipsthumbnail (4:2:0, quality 75)"][0]
        for p, (size, quality) in rows.items():
            print(f"| {p} | {size} | {size / base:.3f} | {size / vips:.3f} | {quality:.2f} |")
        print(f"--progressive decodes to the default output's pixels: {'yes' if same else 'NO'}; "
              f"its bytes over the default's, geometric mean over the photographs: {each:.3f}")


if __name__ == "__main__":
    main()
