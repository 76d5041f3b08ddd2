"""Fast JPEG decoding, encoding, resizing and thumbnails.

Images are numpy arrays of shape (height, width, 3) and dtype uint8, with the
channels in RGB order unless you ask for BGR (OpenCV's order). An array this
package returns owns its memory. JPEG work goes through libjpeg-turbo;
resizing averages the source pixels when shrinking and interpolates linearly
when enlarging.

Every call runs without holding Python's global interpreter lock, so several
threads can work at once. A call that fails raises qarvel.Error with the
reason. Nothing is ever printed.

To spread work over many processes or machines, see qarvel.dask.
"""

import os
import textwrap
from typing import BinaryIO, List, Literal, NamedTuple, Optional, Tuple, Union

import numpy as np

from . import _qarvel
from ._qarvel import Error
from ._version import __version__ as __version__

__all__ = [
    "Error",
    "ThumbnailInfo",
    "decode",
    "encode",
    "read",
    "resize",
    "thumbnail",
    "thumbnail_file",
    "write",
]

PathLike = Union[str, bytes, os.PathLike]
Order = Literal["RGB", "BGR"]
Size = Union[Tuple[int, int], int, str]

_ORDERS = {"RGB": 0, "BGR": 1}


class ThumbnailInfo(NamedTuple):
    """What thumbnail_file wrote: the source's size as displayed, the
    output's size, and any problems that did not stop the file (one line
    each)."""

    src_width: int
    src_height: int
    width: int
    height: int
    warnings: List[str]


def _order(order: str) -> int:
    try:
        return _ORDERS[order]
    except (KeyError, TypeError):
        raise ValueError(f'order must be "RGB" or "BGR", not {order!r}') from None


def _path(path: PathLike) -> bytes:
    return os.fsencode(path)


def _data(source) -> Union[bytes, bytearray, memoryview]:
    """JPEG bytes from a buffer or from a binary file object (read whole)."""
    read_ = getattr(source, "read", None)
    return read_() if callable(read_) else source


def _writer(target):
    """target's write method when it is a binary file object, else None."""
    write_ = getattr(target, "write", None)
    return write_ if callable(write_) else None


Input = Union[bytes, bytearray, memoryview, BinaryIO]


def decode(data: Input, order: Order = "RGB", rotate: bool = False) -> np.ndarray:
    """Decode JPEG data into an image.

    data: the bytes of a JPEG file, as bytes, any object that offers them
    through the buffer protocol (bytearray, memoryview, mmap, a numpy array
    of uint8), or a binary file object, read to its end. order: "RGB" or
    "BGR", the order of the channels returned. rotate: turn the image
    upright as its EXIF Orientation asks.

    Returns a new array of shape (height, width, 3), dtype uint8.
    Raises qarvel.Error when the data is not a JPEG image that can be decoded
    (the message says why), ValueError for a wrong order.
    """
    return _qarvel.decode(_data(data), _order(order), bool(rotate))


def encode(image: np.ndarray, order: Order = "RGB", *, quality: int = 85,
           subsampling: str = "4:2:2", progressive: bool = False) -> bytes:
    """Encode an image as JPEG.

    image: an array of shape (height, width, 3), dtype uint8; any row
    stride is accepted, and views with other strides are copied first.
    order: the order of the image's channels, "RGB" or "BGR". quality: 1 to
    100. subsampling: the chroma's, "4:2:0", "4:2:2", "4:4:4", or "gray" for
    a greyscale JPEG. progressive: a progressive JPEG (the same pixels, a
    smaller file).

    Returns the JPEG file's bytes. Raises ValueError for an array of another
    shape or dtype or a wrong setting, qarvel.Error when the image cannot be
    encoded (an empty one).
    """
    return _qarvel.encode(np.asarray(image), _order(order),
                          dict(quality=quality, subsampling=subsampling, progressive=progressive))


def read(path: Union[PathLike, BinaryIO], order: Order = "RGB", rotate: bool = False) -> np.ndarray:
    """Read and decode a JPEG file, named by path or open as a binary file
    object.

    Returns a new array of shape (height, width, 3), dtype uint8, with the
    channels in `order`, turned upright by the EXIF Orientation when
    `rotate` is set. Raises qarvel.Error when the file cannot be read or
    decoded.
    """
    data = _data(path)
    if data is not path:
        return decode(data, order, rotate)
    return _qarvel.read(_path(path), _order(order), bool(rotate))


def write(path: Union[PathLike, BinaryIO], image: np.ndarray, order: Order = "RGB", *,
          quality: int = 85, subsampling: str = "4:2:2", progressive: bool = False) -> None:
    """Encode an image as JPEG (as encode does) and write it to path, or to
    a writable binary file object.

    A file named by path is replaced safely: the JPEG goes to a temporary
    file in the same folder, which is then renamed over path, so path either
    keeps its old contents or holds the whole new image, never part of it.
    Raises qarvel.Error when encoding or writing fails.
    """
    options = dict(quality=quality, subsampling=subsampling, progressive=progressive)
    write_ = _writer(path)
    if write_:
        write_(_qarvel.encode(np.asarray(image), _order(order), options))
    else:
        _qarvel.write(_path(path), np.asarray(image), _order(order), options)


def _whole(name: str, value: int) -> int:
    """An int argument for the C library: a Python int (not a bool) that fits
    a C int."""
    if not isinstance(value, int) or isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not {type(value).__name__}")
    if not -2**31 <= value < 2**31:
        raise ValueError(f"{name} must be below 2**31, not {value}")
    return value


def resize(image: np.ndarray, width: int, height: int = 0) -> np.ndarray:
    """Resize an image to width x height pixels.

    Shrinking averages the source pixels under each output pixel (area
    resampling); enlarging interpolates linearly. The result is the same,
    byte for byte, as the C library's ipp_resize. A height of 0 keeps the
    aspect ratio (at least one row). The channel order does not matter.

    image: an array of shape (height, width, 3), dtype uint8; any row stride
    is accepted, and views with other strides are copied first.

    Returns a new array of shape (height, width, 3). Raises TypeError for a
    width or height that is not an int, ValueError for a non-positive width,
    a negative height, an image without pixels or of another shape or dtype,
    or a result of 2 GiB or more.
    """
    return _qarvel.resize(np.asarray(image), _whole("width", width), _whole("height", height))


def _options_doc(batch: bool = False) -> str:
    """The options' lines for a docstring, from the library's option table."""
    scopes = ("image", "batch") if batch else ("image",)
    lines = []
    for o in _qarvel.options():
        if o["scope"] not in scopes or o["keyword"] in ("width", "height", "size"):
            continue
        if o["value"] == "flag":
            head = f"{o['keyword']}={not o['negated']}"
        elif o["value"] == "optional":
            head = f"{o['keyword']}=True or {' or '.join(repr(c) for c in o['choices'])}"
        else:
            head = f"{o['keyword']}={o['metavar']}"
        lines.append(textwrap.fill(f"{head}: {' '.join(o['help'].split())}", 76,
                                   initial_indent="    ", subsequent_indent="        ",
                                   break_on_hyphens=False))
    return "\n".join(lines)


def _request(width, height, size, options: dict, batch: bool = False):
    return _qarvel.Request(dict(options, width=width, height=height, size=size), batch)


def thumbnail(data: Input, width: Optional[int] = None, height: Optional[int] = None,
              size: Optional[Size] = None, **options) -> bytes:
    return _qarvel.thumbnail(_data(data), _request(width, height, size, options))


def thumbnail_file(src: PathLike, dst: Union[PathLike, BinaryIO], width: Optional[int] = None,
                   height: Optional[int] = None, size: Optional[Size] = None,
                   **options) -> ThumbnailInfo:
    request = _request(width, height, size, options)
    write_ = _writer(dst)
    if write_:
        jpeg, info = _qarvel.thumbnail_of_file(_path(src), request)
        write_(jpeg)
    else:
        info = _qarvel.thumbnail_file(_path(src), _path(dst), request)
    return ThumbnailInfo(*info)


thumbnail.__doc__ = """Resize a photo held in memory into a new JPEG, as `qarvel resize` does.

    data: the photo's bytes, or a binary file object read to its end.
    The target: `width` pixels wide and `height` high (None or 0 keeps the
    aspect ratio), or `size`, a box the photo is fitted into with its aspect
    ratio kept: a (width, height) pair, an int (a width bound), or a string
    WxH, W, Wx or xH, where a 0 or missing side is unbounded ("800" or "800x"
    bound the width only, "x600" the height only). Sizes count in the photo's
    upright orientation.

    Options, as keywords (the same as the command line's):
{options}

    Returns the JPEG's bytes. Raises qarvel.Error when
    the data cannot be decoded or resized, ValueError for a wrong target or
    options that contradict each other, TypeError for a value of the wrong
    type or an unknown option.
    """.format(options=_options_doc())

thumbnail_file.__doc__ = """Read the JPEG file src, resize it as thumbnail() does and write dst.

    dst is replaced safely (see write): it keeps its old contents or holds
    the whole new JPEG. An input that is not a regular file, and an output
    that is the input itself under any name or link, are refused. Target and
    options as for thumbnail().

    Returns a ThumbnailInfo (sizes and warnings). Raises qarvel.Error when
    the file cannot be read, decoded, resized or written, ValueError and
    TypeError as thumbnail() does.
    """
