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
from typing import List, Literal, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np

from . import _qarvel
from ._qarvel import Error

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
    """What thumbnail_file wrote: the source's size as stored, the output's
    size, and any problems that did not stop the file (one line each)."""

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


def decode(data: Union[bytes, bytearray, memoryview], order: Order = "RGB") -> np.ndarray:
    """Decode JPEG data into an image.

    data: the bytes of a JPEG file, as bytes or any object that offers them
    through the buffer protocol (bytearray, memoryview, mmap, a numpy array
    of uint8). order: "RGB" or "BGR", the order of the channels returned.

    Returns a new array of shape (height, width, 3), dtype uint8.
    Raises qarvel.Error when the data is not a JPEG image that can be decoded
    (the message says why), ValueError for a wrong order.
    """
    return _qarvel.decode(data, _order(order))


def encode(image: np.ndarray, order: Order = "RGB") -> bytes:
    """Encode an image as JPEG: 4:2:2 chroma subsampling, quality 85.

    image: an array of shape (height, width, 3), dtype uint8; any row
    stride is accepted, and views with other strides are copied first.
    order: the order of the image's channels, "RGB" or "BGR".

    Returns the JPEG file's bytes. Raises ValueError for an array of another
    shape or dtype, qarvel.Error when the image cannot be encoded (an empty one).
    """
    return _qarvel.encode(np.asarray(image), _order(order))


def read(path: PathLike, order: Order = "RGB") -> np.ndarray:
    """Read and decode a JPEG file.

    Returns a new array of shape (height, width, 3), dtype uint8, with the
    channels in `order`. Raises qarvel.Error when the file cannot be read or
    decoded.
    """
    return _qarvel.read(_path(path), _order(order))


def write(path: PathLike, image: np.ndarray, order: Order = "RGB") -> None:
    """Encode an image as JPEG (as encode does) and write it to path.

    The file is replaced safely: the JPEG goes to a temporary file in the
    same folder, which is then renamed over path, so path either keeps its
    old contents or holds the whole new image, never part of it.
    Raises qarvel.Error when encoding or writing fails.
    """
    _qarvel.write(_path(path), np.asarray(image), _order(order))


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
        text = " ".join(o["help"].split())
        if o["value"] == "flag":
            lines.append(f"    {o['keyword']}={not o['negated']}: {text}")
        else:
            lines.append(f"    {o['keyword']}={o['metavar']}: {text}")
    return "\n".join(lines)


def _request(width, height, size, options: dict, batch: bool = False):
    return _qarvel.Request(dict(options, width=width, height=height, size=size), batch)


def thumbnail(data: Union[bytes, bytearray, memoryview], width: Optional[int] = None,
              height: Optional[int] = None, size: Optional[Size] = None, **options) -> bytes:
    return _qarvel.thumbnail(data, _request(width, height, size, options))


def thumbnail_file(src: PathLike, dst: PathLike, width: Optional[int] = None,
                   height: Optional[int] = None, size: Optional[Size] = None,
                   **options) -> ThumbnailInfo:
    info = _qarvel.thumbnail_file(_path(src), _path(dst), _request(width, height, size, options))
    return ThumbnailInfo(*info)


thumbnail.__doc__ = """Resize a photo held in memory into a new JPEG, as `qarvel resize` does.

    The target: `width` pixels wide and `height` high (None or 0 keeps the
    aspect ratio), or `size`, a box the photo is fitted into with its aspect
    ratio kept: a (width, height) pair, an int (a width bound), or a string
    WxH, W, Wx or xH, where a 0 or missing side is unbounded ("800" or "800x"
    bound the width only, "x600" the height only). Sizes count in the photo's
    upright orientation.

    Options, as keywords (the same as the command line's):
{options}

    Returns the JPEG's bytes (4:2:2, quality 85). Raises qarvel.Error when
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
