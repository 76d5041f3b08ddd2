#!/usr/bin/python3
"""Colour conversion in the thumbnailer: accuracy against Little CMS, and cost.

Makes test photographs from Debian's wallpapers with Little CMS (Pillow's ImageCms):
CMYK ones through a press profile, and wide-gamut RGB ones, either converted into
the profile or only tagged with it (the same pixels read as wider colours, as a
camera's Adobe RGB file would be). Runs colour_bench on each, which makes the
thumbnail with the conversion at full size, before the area resample at the
reduced decoded size, or after it, and prints, per photo and placement:

  mean and 95th-percentile CIEDE2000 of the thumbnail against Little CMS's
  conversion of the full image, area-averaged exactly (float64) to the same size;
  the conversion's time and the whole thumbnail's time (decode, conversion,
  resample, encode); `share` is, for RGB photos, the time over the same pipeline
  without conversion (`none`), and for CMYK ones the conversion's part of the whole;
  `setup` is the conversion of a 1 x 1 image: Little CMS's context, profiles and
  transform alone.

With --intents it also prints how far apart Little CMS's rendering intents are at
thumbnail size, and how close each is to what vipsthumbnail makes of the photo.

Two sets: `tune` (decisions were made on it) and `confirm` (checked afterwards).
Photos and profiles come from Debian 12 packages fetched with `apt-get download`
into a cache folder; nothing is kept in the repository except the FOGRA39 profile
in tests/data/colour/.

    scripts/deps.sh bench
    cmake --preset release && cmake --build --preset release -j2 --target colour_bench
    bench/colour_bench.py --bench build/release/bench/colour_bench [--set tune|confirm|all]
"""
import argparse
import io
import os
import shutil
import subprocess
import sys
import tempfile

import numpy as np
from PIL import Image, ImageCms

import benchlib

HERE = os.path.dirname(os.path.abspath(__file__))
FOGRA39 = os.path.join(HERE, "..", "tests", "data", "colour", "fogra39l-argyll-lowres.icc")

# Debian package, path inside it; photo authors and licences are in each
# package's copyright file (CC-BY-4.0, CC-BY-SA-3.0/4.0, CC0-1.0).
BG = "usr/share/backgrounds/{}.jpg"
PHOTOS = {
    "tune": [
        ("free", "lomiri-wallpapers-16.04", BG.format("free_by_Peter_Nerlich")),
        ("sunset", "lomiri-wallpapers-16.04", BG.format("sunset_by_Aitzol_Berasategi")),
        ("Dragonfly", "lomiri-wallpapers-16.04", BG.format("Dragonfly_by_Bolly")),
        ("seeding", "lomiri-wallpapers-16.04", BG.format("seeding_by_Clements_Engelhardt")),
    ],
    "confirm": [
        ("Kleiber", "lomiri-wallpapers-20.04", BG.format("Kleiber_by_Lukas_Baubkus")),
        ("Fossa", "lomiri-wallpapers-20.04", BG.format("Fossa_by_Jasper_Roks")),
        ("Bridge", "lomiri-wallpapers-16.04", BG.format("Bridge_by_Sander_Klootwijk")),
        ("picos", "lomiri-wallpapers-16.04", BG.format("picosdeeuropa_by_Aitzol_Berasategi")),
        ("Painting", "lomiri-wallpapers-20.04", BG.format("Painting-Colors_by__herobrine7gamer")),
    ],
}
ICC = "usr/share/color/icc/"
PROFILES = {
    # name: (package or None for the repository's file or one colour_bench writes, path)
    "fogra39": (None, FOGRA39),
    "adobergb": ("icc-profiles-free", ICC + "compatibleWithAdobeRGB1998.icc"),
    "swop": ("libgs-common", ICC + "ghostscript/default_cmyk.icc"),
    "prophoto": ("colord-data", ICC + "colord/ProPhotoRGB.icc"),
    "p3": (None, "display-p3.icc"),
    "srgb-colord": ("colord-data", ICC + "colord/sRGB.icc"),
    "srgb-free": ("icc-profiles-free", ICC + "sRGB.icc"),
}
# Per set: (profile, how) with how = convert | tag.
CASES = {
    "tune": [("fogra39", "convert"), ("adobergb", "convert"), ("adobergb", "tag"),
             ("srgb-colord", "tag")],
    "confirm": [("swop", "convert"), ("p3", "tag"), ("prophoto", "convert"),
                ("prophoto", "tag"), ("srgb-free", "tag")],
}
# ICC rendering intents by number (Pillow's names for them changed between releases).
PERCEPTUAL, RELATIVE = 0, 1
BPC = ImageCms.FLAGS["BLACKPOINTCOMPENSATION"]


def fetch(cache, package, inner):
    """The file `inner` of a Debian package, downloaded and unpacked once."""
    return os.path.join(benchlib.unpack(cache, package), inner)


def profile_path(cache, name, bench):
    package, inner = PROFILES[name]
    if package:
        return fetch(cache, package, inner)
    if os.path.isabs(inner):
        return inner
    path = os.path.join(cache, inner)
    if not os.path.exists(path):
        subprocess.run([bench, "--write-display-p3", path], check=True)
    return path


def make_photo(cache, src, name, profile, how):
    """A test JPEG: `src` converted into `profile` or tagged with it."""
    dst = os.path.join(cache, "made", f"{name}-{os.path.basename(profile)[:-4]}-{how}.jpg")
    if os.path.exists(dst):
        return dst
    os.makedirs(os.path.dirname(dst), exist_ok=True)
    im = Image.open(src).convert("RGB")
    target = ImageCms.getOpenProfile(profile)
    if how == "convert":
        mode = "CMYK" if target.profile.xcolor_space.strip() == "CMYK" else "RGB"
        im = ImageCms.profileToProfile(im, ImageCms.createProfile("sRGB"), target,
                                       renderingIntent=RELATIVE, outputMode=mode, flags=BPC)
    with open(profile, "rb") as f:
        icc = f.read()
    im.save(dst + ".part", "JPEG", quality=92, icc_profile=icc)
    os.rename(dst + ".part", dst)
    return dst


def reference(path, intent=RELATIVE, flags=BPC):
    """Little CMS's conversion of the whole image to sRGB, as float64."""
    im = Image.open(path)
    icc = im.info.get("icc_profile")
    src = ImageCms.ImageCmsProfile(io.BytesIO(icc))
    out = ImageCms.profileToProfile(im, src, ImageCms.createProfile("sRGB"),
                                    renderingIntent=intent, outputMode="RGB", flags=flags)
    return np.asarray(out, dtype=np.float64)


def area_average(a, w, h):
    """Exact area average of an H x W x 3 array to h x w."""
    def axis(a, n, ax):
        size = a.shape[ax]
        edges = np.arange(n + 1, dtype=np.float64) * (size / n)
        zero = np.zeros_like(np.take(a, [0], axis=ax))
        cum = np.concatenate([zero, np.cumsum(a, axis=ax)], axis=ax)
        lo = np.minimum(np.floor(edges).astype(np.int64), size - 1)
        frac = edges - lo
        shape = [1] * a.ndim
        shape[ax] = n + 1
        at = np.take(cum, lo, axis=ax) + frac.reshape(shape) * np.take(a, lo, axis=ax)
        return np.diff(at, axis=ax) / (size / n)
    return axis(axis(a, h, 0), w, 1)


def lab(rgb):
    """sRGB values 0..255 to CIELAB (D65 white)."""
    v = rgb / 255.0
    lin = np.where(v <= 0.04045, v / 12.92, ((v + 0.055) / 1.055) ** 2.4)
    m = np.array([[0.4124564, 0.3575761, 0.1804375],
                  [0.2126729, 0.7151522, 0.0721750],
                  [0.0193339, 0.1191920, 0.9503041]])
    xyz = lin @ m.T / np.array([0.95047, 1.0, 1.08883])
    f = np.where(xyz > (6 / 29) ** 3, np.cbrt(xyz), xyz / (3 * (6 / 29) ** 2) + 4 / 29)
    return np.stack([116 * f[..., 1] - 16, 500 * (f[..., 0] - f[..., 1]),
                     200 * (f[..., 1] - f[..., 2])], axis=-1)


def de2000(lab1, lab2):
    """CIEDE2000 per pixel (Sharma, Wu and Dalal's formulation)."""
    L1, a1, b1 = np.moveaxis(lab1, -1, 0)
    L2, a2, b2 = np.moveaxis(lab2, -1, 0)
    cbar = (np.hypot(a1, b1) + np.hypot(a2, b2)) / 2
    g = 0.5 * (1 - np.sqrt(cbar ** 7 / (cbar ** 7 + 25.0 ** 7)))
    a1p, a2p = a1 * (1 + g), a2 * (1 + g)
    c1p, c2p = np.hypot(a1p, b1), np.hypot(a2p, b2)
    h1p = np.degrees(np.arctan2(b1, a1p)) % 360
    h2p = np.degrees(np.arctan2(b2, a2p)) % 360
    dl, dc = L2 - L1, c2p - c1p
    dh = h2p - h1p
    dh = np.where(dh > 180, dh - 360, np.where(dh < -180, dh + 360, dh))
    dh = np.where(c1p * c2p == 0, 0, dh)
    dH = 2 * np.sqrt(c1p * c2p) * np.sin(np.radians(dh / 2))
    lbar, cbarp = (L1 + L2) / 2, (c1p + c2p) / 2
    hsum = h1p + h2p
    hbar = np.where(np.abs(h1p - h2p) > 180, np.where(hsum < 360, hsum + 360, hsum - 360), hsum) / 2
    hbar = np.where(c1p * c2p == 0, hsum, hbar)
    t = (1 - 0.17 * np.cos(np.radians(hbar - 30)) + 0.24 * np.cos(np.radians(2 * hbar))
         + 0.32 * np.cos(np.radians(3 * hbar + 6)) - 0.20 * np.cos(np.radians(4 * hbar - 63)))
    sl = 1 + 0.015 * (lbar - 50) ** 2 / np.sqrt(20 + (lbar - 50) ** 2)
    sc, sh = 1 + 0.045 * cbarp, 1 + 0.015 * cbarp * t
    rt = (-2 * np.sqrt(cbarp ** 7 / (cbarp ** 7 + 25.0 ** 7))
          * np.sin(np.radians(60 * np.exp(-(((hbar - 275) / 25) ** 2)))))
    return np.sqrt((dl / sl) ** 2 + (dc / sc) ** 2 + (dH / sh) ** 2 + rt * (dc / sc) * (dH / sh))


def compare(ours, ref_lab):
    de = de2000(lab(np.asarray(Image.open(ours), dtype=np.float64)), ref_lab)
    return de.mean(), np.percentile(de, 95)


def intents(path, w, h, tmp):
    """Mean CIEDE2000 between intents, and of vipsthumbnail against each."""
    refs = {
        "perceptual": reference(path, PERCEPTUAL, 0),
        "relative": reference(path, RELATIVE, 0),
        "relative+bpc": reference(path, RELATIVE, BPC),
    }
    refs = {k: lab(area_average(v, w, h)) for k, v in refs.items()}
    vips = os.path.join(tmp, "vips.png")
    subprocess.run(["vipsthumbnail", path, "--size", f"{w}x{h}!", "--export-profile", "srgb",
                    "-o", vips], check=True)
    vl = lab(np.asarray(Image.open(vips).convert("RGB"), dtype=np.float64))
    keys = list(refs)
    pairs = {f"{a} vs {b}": de2000(refs[a], refs[b]).mean()
             for i, a in enumerate(keys) for b in keys[i + 1:]}
    pairs.update({f"vips vs {k}": de2000(vl, v).mean() for k, v in refs.items()})
    return pairs


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--bench", required=True, help="path of the colour_bench program")
    ap.add_argument("--set", default="all", choices=["tune", "confirm", "all"])
    ap.add_argument("--width", type=int, default=640)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--intents", action="store_true", help="also compare rendering intents")
    ap.add_argument("--cache", default=os.path.expanduser("~/.cache/qarvel-bench"))
    args = ap.parse_args()
    cache = os.path.join(args.cache, "colour")
    sets = ["tune", "confirm"] if args.set == "all" else [args.set]
    print(subprocess.run(["uptime"], capture_output=True, text=True).stdout.strip())
    tmp = tempfile.mkdtemp(prefix="qarvel-colour-")
    try:
        for s in sets:
            print(f"\n== set {s}: width {args.width}, median of {args.runs} runs ==")
            print(f"{'photo':34} {'variant':7} {'dE mean':>7} {'dE p95':>7} {'conv ms':>8} "
                  f"{'thumb ms':>8} {'share':>6} {'setup ms':>8}")
            for name, pkg, inner in PHOTOS[s]:
                src = fetch(cache, pkg, inner)
                for prof, how in CASES[s]:
                    photo = make_photo(cache, src, name, profile_path(cache, prof, args.bench), how)
                    run(args, photo, tmp)
    finally:
        shutil.rmtree(tmp)


def run(args, photo, tmp):
    out = subprocess.run([args.bench, "--runs", str(args.runs), "--width", str(args.width),
                          "--out", tmp, photo], capture_output=True, text=True, check=True)
    rows = [line.split() for line in out.stdout.splitlines()]
    w, h = int(rows[0][5]), int(rows[0][6])
    ref = lab(area_average(reference(photo), w, h))
    base = {r[1]: float(r[3]) for r in rows}.get("none")
    for stem, variant, conv, thumb, setup, _, _ in rows:
        de_mean, de_p95 = compare(os.path.join(tmp, f"{stem}.{variant}.ppm"), ref)
        share = (float(thumb) / base - 1) * 100 if base else float(conv) / float(thumb) * 100
        print(f"{stem:34} {variant:7} {de_mean:7.3f} {de_p95:7.3f} {float(conv):8.2f} "
              f"{float(thumb):8.2f} {share:5.1f}% {float(setup):8.3f}")
    if args.intents:
        for k, v in intents(photo, w, h, tmp).items():
            print(f"    intents {k:28} mean dE {v:.3f}")
    sys.stdout.flush()


if __name__ == "__main__":
    main()
