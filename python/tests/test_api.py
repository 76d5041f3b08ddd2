"""The package against the C library's exports, its failures, its silence on
standard output, and its threads."""

import ctypes
import io
import os
import subprocess
import sys
import threading
import time
from pathlib import Path

import numpy as np
import pytest

import qarvel
from qarvel import _qarvel

DATA = Path(os.environ["QARVEL_TESTDATA_DIR"])
PHOTOS = ["photo-1165x859-420.jpg", "photo-640x480-422-iptc.jpg", "photo-512-gray.jpg",
          "size-21x32-420.jpg"]


class Exports:
    """qdecode, qencode and ipp_resize from the built libqarvel.so."""

    def __init__(self, path):
        self.lib = ctypes.CDLL(path)
        self.libc = ctypes.CDLL(None)
        u8p, ip = ctypes.POINTER(ctypes.c_ubyte), ctypes.POINTER(ctypes.c_int)
        self.lib.qdecode.argtypes = [ctypes.c_char_p, ctypes.c_ulong, ctypes.POINTER(u8p), ip, ip,
                                     ip, ctypes.c_int]
        self.lib.qencode.argtypes = [ctypes.c_void_p, ctypes.c_int, ctypes.c_int, ctypes.c_int,
                                     ctypes.c_int, ctypes.POINTER(u8p),
                                     ctypes.POINTER(ctypes.c_ulong)]
        self.lib.qFree.argtypes = [u8p]
        self.resize = self.lib._Z10ipp_resizePhiiiS_iii
        self.resize.argtypes = [ctypes.c_void_p] + [ctypes.c_int] * 3 + [ctypes.c_void_p] + \
            [ctypes.c_int] * 3

    def qdecode(self, data, fmt):
        buf, w, h, pitch = ctypes.POINTER(ctypes.c_ubyte)(), ctypes.c_int(), ctypes.c_int(), \
            ctypes.c_int()
        assert self.lib.qdecode(data, len(data), buf, w, h, pitch, fmt) == 0
        try:
            return np.ctypeslib.as_array(buf, (h.value, w.value, 3)).copy()
        finally:
            self.lib.qFree(buf)

    def qencode(self, image, fmt):
        image = np.ascontiguousarray(image)
        out, size = ctypes.POINTER(ctypes.c_ubyte)(), ctypes.c_ulong()
        h, w = image.shape[:2]
        assert self.lib.qencode(image.ctypes.data, w, h, w * 3, fmt, out, size) == 0
        try:
            return ctypes.string_at(out, size.value)
        finally:
            self.lib.qFree(out)

    def ipp_resize(self, image, width, height):
        image = np.ascontiguousarray(image)
        out = np.zeros((height, width, 3), np.uint8)
        h, w = image.shape[:2]
        rc = self.resize(image.ctypes.data, w, h, w * 3, out.ctypes.data, width, height, width * 3)
        self.libc.fflush(None)  # its timing line, into pytest's capture
        assert rc == 0
        return out


@pytest.fixture(scope="module")
def exports():
    return Exports(os.environ["QARVEL_LIBRARY"])


@pytest.fixture(scope="module")
def photo():
    return qarvel.read(DATA / "photo-1165x859-420.jpg")


@pytest.mark.parametrize("name", PHOTOS)
def test_decode_and_encode_match_the_exports(exports, name):
    data = (DATA / name).read_bytes()
    for order, fmt in (("RGB", 0), ("BGR", 1)):
        image = qarvel.decode(data, order)
        assert image.dtype == np.uint8 and image.flags.writeable
        np.testing.assert_array_equal(image, exports.qdecode(data, fmt))
        assert qarvel.encode(image, order) == exports.qencode(image, fmt)
    assert np.array_equal(qarvel.decode(bytearray(data)), qarvel.decode(memoryview(data)))


def test_strided_views_encode_and_resize_as_packed_copies(exports, photo):
    views = {
        "rows apart": photo[3:-5, 7:-9],           # used in place with a longer row stride
        "upside down": photo[::-1],                # negative row stride: packed
        "every other pixel": photo[::2, ::3],      # pixel stride 9: packed
        "channels reversed": photo[:, :, ::-1],    # channel stride -1: packed
        "Fortran order": np.asfortranarray(photo),
    }
    for label, view in views.items():
        packed = np.ascontiguousarray(view)
        assert qarvel.encode(view) == exports.qencode(packed, 0), label
        for size in ((300, 200), (packed.shape[1] + 31, packed.shape[0] * 2)):
            np.testing.assert_array_equal(qarvel.resize(view, *size),
                                          exports.ipp_resize(packed, *size), label)


@pytest.mark.parametrize("size, shape", [
    ((320, 236), None), ((97, 61), None), ((1165, 859), None), ((1500, 1100), None),
    ((1200, 400), None), ((1, 1), None), ((640, 0), (472, 640, 3))])  # 859 * 640 / 1165 = 471.9
def test_resize_matches_ipp_resize(exports, photo, size, shape):
    out = qarvel.resize(photo, *size)
    assert out.shape == (shape or (size[1], size[0], 3))
    np.testing.assert_array_equal(out, exports.ipp_resize(photo, out.shape[1], out.shape[0]))


def test_failures_raise_error_with_the_reason(tmp_path, photo):
    data = (DATA / "photo-640x480-422-iptc.jpg").read_bytes()
    cases = {
        b"not a jpeg": "Not a JPEG file",
        b"": "no JPEG data",
        data[:len(data) // 2]: "cannot decode",
        (DATA / "corrupt-65535x65535.jpg").read_bytes(): "Maximum supported image dimension",
    }
    for bad, reason in cases.items():
        with pytest.raises(qarvel.Error, match=reason):
            qarvel.decode(bad)
    with pytest.raises(qarvel.Error, match="cannot open .*missing.jpg: No such file"):
        qarvel.read(tmp_path / "missing.jpg")
    with pytest.raises(qarvel.Error, match="no image to encode"):
        qarvel.encode(np.zeros((0, 4, 3), np.uint8))
    with pytest.raises(qarvel.Error, match="is not a regular file"):
        os.mkfifo(tmp_path / "fifo.jpg")
        qarvel.thumbnail_file(tmp_path / "fifo.jpg", tmp_path / "out.jpg", 10)


def test_wrong_arguments_raise_value_or_type_errors(photo):
    with pytest.raises(ValueError, match="shape"):
        qarvel.encode(photo[:, :, :2])
    with pytest.raises(ValueError, match="dtype uint8"):
        qarvel.resize(photo.astype(np.uint16), 10, 10)
    with pytest.raises(ValueError, match="order"):
        qarvel.decode(b"", "BGRA")
    with pytest.raises(ValueError, match="width must be positive"):
        qarvel.resize(photo, 0, 10)
    with pytest.raises(ValueError, match="no pixels"):
        qarvel.resize(photo[:0], 10, 10)
    with pytest.raises(ValueError, match="below 2 GiB"):
        qarvel.resize(photo, 1, 2**31 - 1)
    with pytest.raises(ValueError, match="width must be below 2\\*\\*31"):
        qarvel.resize(photo, 2**31)
    with pytest.raises(TypeError, match="width must be an int, not NoneType"):
        qarvel.resize(photo, None)
    # Keeping a wide, short image's aspect ratio still leaves one row.
    assert qarvel.resize(np.zeros((1, 1000, 3), np.uint8), 1).shape == (1, 1, 3)
    with pytest.raises(ValueError, match="NUL"):
        qarvel.read("a\0b.jpg")
    with pytest.raises(TypeError):
        qarvel.decode("a str is not bytes")


NO_OUTPUT_SCRIPT = r"""
import sys, qarvel
src, out = sys.argv[1], sys.argv[2]
data = open(src, "rb").read()
image = qarvel.decode(data)
for call in (lambda: qarvel.encode(qarvel.resize(image[::2], 50, 40), "BGR"),
             lambda: qarvel.read(src, "BGR"), lambda: qarvel.thumbnail(data, 64),
             lambda: qarvel.write(out + "/o.jpg", image),
             lambda: qarvel.thumbnail_file(src, out + "/t.jpg", size="64x64"),
             lambda: qarvel.decode(b"junk"), lambda: qarvel.read("/nonexistent.jpg"),
             lambda: qarvel.resize(image[:0], 5, 5), lambda: qarvel.encode(image[:0]),
             lambda: qarvel.thumbnail(b"junk", 64), lambda: qarvel.write("/no/o.jpg", image),
             lambda: qarvel.thumbnail_file("/nonexistent.jpg", out + "/x.jpg", 64)):
    try:
        call()
    except (qarvel.Error, ValueError):
        pass
"""


def test_nothing_reaches_standard_output(tmp_path):
    # A process of its own, so output buffered by the C library would show at its exit.
    run = subprocess.run([sys.executable, "-c", NO_OUTPUT_SCRIPT,
                          str(DATA / "photo-640x480-422-iptc.jpg"), str(tmp_path)],
                         capture_output=True)
    assert run.returncode == 0, run.stderr.decode()
    assert run.stdout == b""


def python_ran_during(call):
    """How many times another Python thread woke up (about once a
    millisecond) while call() ran."""
    ticks, stop = [0], threading.Event()

    def witness():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(0.001)

    interval = sys.getswitchinterval()
    # No forced switches: only a call that releases the GIL lets the witness run.
    sys.setswitchinterval(5)
    thread = threading.Thread(target=witness)
    thread.start()
    try:
        time.sleep(0.01)
        before = ticks[0]
        call()
        return ticks[0] - before
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(interval)


def test_threads_resize_at_once_faster_than_one_after_another(photo):
    big = np.ascontiguousarray(np.tile(photo, (2, 2, 1)))
    expected = qarvel.resize(big, 777, 555)
    threads, calls = 2, 8

    def run(results):
        for _ in range(calls):
            results.append(qarvel.resize(big, 777, 555))

    assert python_ran_during(lambda: run([])) >= 3
    for attempt in range(5):  # other processes share these cores: allow a few tries
        start = time.perf_counter()
        serial = []
        for _ in range(threads):
            run(serial)
        serial_time = time.perf_counter() - start

        results = [[] for _ in range(threads)]
        pool = [threading.Thread(target=run, args=(results[i],)) for i in range(threads)]
        start = time.perf_counter()
        for t in pool:
            t.start()
        for t in pool:
            t.join()
        parallel_time = time.perf_counter() - start

        for out in serial + sum(results, []):
            np.testing.assert_array_equal(out, expected)
        if parallel_time < 0.8 * serial_time:
            return
    if len(os.sched_getaffinity(0)) < 2 or os.getloadavg()[0] > 1:
        pytest.skip(f"no idle second core: {threads} threads took {parallel_time:.3f} s, "
                    f"one after another {serial_time:.3f} s")
    pytest.fail(f"{threads} threads took {parallel_time:.3f} s, one after another "
                f"{serial_time:.3f} s")


def test_write_replaces_the_file_whole_or_not_at_all(tmp_path, photo):
    out = tmp_path / "out.jpg"
    qarvel.write(out, photo[::2], "BGR")
    assert out.read_bytes() == qarvel.encode(photo[::2], "BGR")
    with pytest.raises(qarvel.Error):
        qarvel.write(out, photo[:0])
    assert out.read_bytes() == qarvel.encode(photo[::2], "BGR")
    assert os.listdir(tmp_path) == ["out.jpg"]


def test_thumbnails_match_in_memory_on_file_and_from_the_tool(tmp_path):
    src = DATA / "meta-exif-orientation6-128.jpg"
    data = src.read_bytes()
    tool = os.environ.get("QARVEL_TOOL")
    for args, kwargs, tool_args in (
            ((64,), {}, ["64"]),
            ((), {"size": "50x40", "keep_metadata": True}, ["-s", "50x40", "--keep-metadata"]),
            ((), {"size": (0, 40), "rotate": False, "strip": True},
             ["-s", "x40", "--no-rotate", "--strip"]),
            ((100, 30), {"exact": True}, ["--exact", "100", "30"])):
        info = qarvel.thumbnail_file(src, tmp_path / "thumb.jpg", *args, **kwargs)
        written = (tmp_path / "thumb.jpg").read_bytes()
        assert qarvel.thumbnail(data, *args, **kwargs) == written
        assert qarvel.decode(written).shape[:2] == (info.height, info.width)
        if tool:
            options = [a for a in tool_args if not a.isdigit()]
            sizes = [a for a in tool_args if a.isdigit()]
            subprocess.run([tool, "resize", "-q", *options, str(src), str(tmp_path / "tool.jpg"),
                            *sizes], check=True, capture_output=True)
            assert (tmp_path / "tool.jpg").read_bytes() == written, tool_args
    with pytest.raises(ValueError, match="either"):
        qarvel.thumbnail(data, 64, size="64x64")
    with pytest.raises(ValueError, match="800x600"):
        qarvel.thumbnail(data, size="64y")
    with pytest.raises(qarvel.Error, match="is the same file as the input"):
        qarvel.thumbnail_file(src, src, 64)


def size_table():
    """(text, accepted, width, height, enlarges) from the size table the C++
    suite runs too."""
    rows = []
    for line in (DATA.parent / "sizes.tsv").read_text().splitlines():
        if line and not line.startswith("#"):
            text, rest = line[1:].split('"\t', 1)
            accepted, *box = rest.split("\t")
            if accepted == "yes":
                rows.append((text, True, int(box[0]), int(box[1]), box[2] == "yes"))
            else:
                rows.append((text, False))
    return rows


def test_sizes_follow_the_shared_table_in_every_spelling():
    for text, accepted, *box in size_table():
        if accepted:
            assert _qarvel.parse_box(text) == tuple(box), text
        else:
            with pytest.raises(ValueError, match="bad size"):
                qarvel.thumbnail(b"", size=text)
    data = (DATA / "photo-480x360-420-exif.jpg").read_bytes()
    assert qarvel.thumbnail(data, size=64) == qarvel.thumbnail(data, size="64x")
    assert qarvel.thumbnail(data, size=(0, 40)) == qarvel.thumbnail(data, size="x40")
    for size in ((1.5, 2.5), True, 64.0, (64,)):
        with pytest.raises(TypeError, match="size must"):
            qarvel.thumbnail(data, size=size)
    with pytest.raises(ValueError, match="width must be positive"):
        qarvel.thumbnail(data, 0)
    with pytest.raises(ValueError, match="both kept and stripped"):
        qarvel.thumbnail_file("in.jpg", "out.jpg", 64, keep_metadata=True, strip=True)
    with pytest.raises(TypeError, match="unexpected option: recursive"):
        qarvel.thumbnail(data, 64, recursive=True)


def test_every_call_on_pixels_or_files_releases_the_gil(tmp_path, photo):
    big = np.ascontiguousarray(np.tile(photo, (3, 3, 1)))
    data = qarvel.encode(big)
    src = tmp_path / "big.jpg"
    src.write_bytes(data)
    calls = {
        "decode": lambda: qarvel.decode(data),
        "encode": lambda: qarvel.encode(big),
        "read": lambda: qarvel.read(src),
        "write": lambda: qarvel.write(tmp_path / "w.jpg", big),
        "resize": lambda: qarvel.resize(big, 3000, 2000),
        "thumbnail": lambda: qarvel.thumbnail(data, 640, exact=True),
        "thumbnail_file": lambda: qarvel.thumbnail_file(src, tmp_path / "t.jpg", 640, exact=True),
    }
    for name, call in calls.items():
        assert python_ran_during(call) >= 2, name


def test_tuning_options_and_file_objects_reach_the_bytes(tmp_path, photo):
    src = DATA / "meta-exif-orientation6-128.jpg"
    data = src.read_bytes()
    assert qarvel.thumbnail(io.BytesIO(data), 64) == qarvel.thumbnail(data, 64)
    with open(src, "rb") as f:
        np.testing.assert_array_equal(qarvel.read(f), qarvel.read(src))
    # Orientation 6: stored sideways, shown turned a quarter clockwise.
    tiff = b"II*\0\x08\0\0\0\x01\0\x12\x01\x03\0\x01\0\0\0\x06\0\0\0\0\0\0\0"
    app1 = b"\xff\xe1" + (len(tiff) + 8).to_bytes(2, "big") + b"Exif\0\0" + tiff
    sideways = tmp_path / "sideways.jpg"
    sideways.write_bytes(data[:2] + app1 + qarvel.encode(photo)[2:])
    np.testing.assert_array_equal(qarvel.read(sideways, rotate=True),
                                  np.rot90(qarvel.read(sideways), -1))
    out = io.BytesIO()
    info = qarvel.thumbnail_file(src, out, size="40x30", crop="attention", quality=60,
                                 subsampling="4:2:0", progressive=True)
    assert qarvel.decode(out.getvalue()).shape == (30, 40, 3) and info[2:4] == (40, 30)
    assert b"\xff\xc2" in out.getvalue()
    buffer = io.BytesIO()
    qarvel.write(buffer, photo, quality=50, subsampling="4:4:4")
    assert buffer.getvalue() == qarvel.encode(photo, quality=50, subsampling="4:4:4")
    assert len(qarvel.encode(photo, quality=50)) < len(qarvel.encode(photo)) * 3 // 4
    for bad in ({"quality": 0}, {"subsampling": "4:1:1"}):
        with pytest.raises(ValueError, match="bad"):
            qarvel.encode(photo, **bad)
    with pytest.raises(ValueError, match="end in .jpg or .jpeg"):
        qarvel.thumbnail_file(src, tmp_path / "x.png", 20)
    assert qarvel.decode(qarvel.thumbnail(data, size="1000x1000>")).shape == (128, 128, 3)


def test_cmyk_and_damaged_photos_give_images_or_clear_reasons(tmp_path):
    red = qarvel.read(DATA / "ycck-adobe-100x100.jpg")  # red letters on black, stored as YCCK
    assert red.shape == (100, 100, 3) and red[..., 0].mean() > 3 * red[..., 1].mean()
    thumb = qarvel.decode(qarvel.thumbnail(open(DATA / "cmyk-adobe-420-256x256.jpg", "rb"), 64))
    assert thumb.shape == (64, 64, 3)
    cut = (DATA / "photo-1165x859-420.jpg").read_bytes()
    (tmp_path / "cut.jpg").write_bytes(cut[:len(cut) // 2])
    info = qarvel.thumbnail_file(tmp_path / "cut.jpg", tmp_path / "out.jpg", 100)
    assert "Premature end of JPEG file" in info.warnings
    with pytest.raises(qarvel.Error, match="damaged JPEG data: Premature end"):
        qarvel.thumbnail_file(tmp_path / "cut.jpg", tmp_path / "out.jpg", 100, strict=True)
    with pytest.raises(qarvel.Error, match="cannot decode"):
        qarvel.decode(cut[:len(cut) // 2])
