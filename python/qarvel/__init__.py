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
Size = Union[Tuple[int, int], Sequence[int], str]

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


def resize(image: np.ndarray, width: int, height: int = 0) -> np.ndarray:
    """Resize an image to width x height pixels.

    Shrinking averages the source pixels under each output pixel (area
    resampling); enlarging interpolates linearly. The result is the same,
    byte for byte, as the C library's ipp_resize. A height of 0 keeps the
    aspect ratio. The channel order does not matter.

    image: an array of shape (height, width, 3), dtype uint8; any row stride
    is accepted, and views with other strides are copied first.

    Returns a new array of shape (height, width, 3). Raises ValueError for
    a non-positive width or an array of another shape or dtype, qarvel.Error
    when the resampler refuses the sizes.
    """
    return _qarvel.resize(np.asarray(image), int(width), int(height))


def _target(width: int, height: int, size: Optional[Size]) -> Tuple[int, int, bool]:
    """(width, height, fit) for the thumbnailer."""
    if size is None:
        if width <= 0 or height < 0:
            raise ValueError("give a positive width (and a height, or 0 to keep the aspect "
                             "ratio), or a size")
        return int(width), int(height), False
    if width or height:
        raise ValueError("give either width and height or size, not both")
    if isinstance(size, str):
        # "WxH", "W" or "Wx" (width bound only), "xH" (height bound only).
        w, _, h = size.lower().partition("x")
        try:
            box = (int(w) if w else 0, int(h) if h else 0)
        except ValueError:
            raise ValueError(f'size must look like "800x600", "800" or "x600", not {size!r}') \
                from None
    else:
        box = tuple(int(v) for v in size)
        if len(box) != 2:
            raise ValueError("size must be (width, height)")
    if box[0] < 0 or box[1] < 0 or box == (0, 0):
        raise ValueError("size needs a positive width or height (0 leaves that side free)")
    return box[0], box[1], True


def thumbnail(data: Union[bytes, bytearray, memoryview], width: int = 0, height: int = 0,
              size: Optional[Size] = None, *, rotate: bool = True, keep_metadata: bool = False,
              strip: bool = False, exact: bool = False) -> bytes:
    """Resize a photo held in memory into a new JPEG, as `qarvel resize` does.

    The target: `width` pixels wide and `height` high (0 keeps the aspect
    ratio), or `size`, a box the photo is fitted into with its aspect ratio
    kept: (width, height) or "WIDTHxHEIGHT", where a 0 or missing side is
    unbounded ("800" or "800x" bound the width only, "x600" the height only).
    Sizes count in the photo's upright orientation.

    rotate: turn the photo upright by its EXIF orientation.
    keep_metadata: keep EXIF (orientation reset), XMP and IPTC as well as
    the colour profile. strip: keep nothing, not even the colour profile.
    exact: decode at full size and use the library's resampler only
    (slower; otherwise large reductions decode at a reduced size first).

    Returns the JPEG's bytes (4:2:2, quality 85). Raises qarvel.Error when
    the data cannot be decoded or resized, ValueError for a wrong target.
    """
    w, h, fit = _target(width, height, size)
    return _qarvel.thumbnail(data, w, h, fit, bool(rotate), bool(keep_metadata), bool(strip),
                             bool(exact))


def thumbnail_file(src: PathLike, dst: PathLike, width: int = 0, height: int = 0,
                   size: Optional[Size] = None, *, rotate: bool = True,
                   keep_metadata: bool = False, strip: bool = False,
                   exact: bool = False) -> ThumbnailInfo:
    """Read the JPEG file src, resize it as thumbnail does and write dst.

    dst is replaced safely (see write): it keeps its old contents or holds
    the whole new JPEG. An output that is the input file itself is refused.

    Returns a ThumbnailInfo (sizes and warnings). Raises qarvel.Error when
    the file cannot be read, decoded, resized or written.
    """
    w, h, fit = _target(width, height, size)
    info = _qarvel.thumbnail_file(_path(src), _path(dst), w, h, fit, bool(rotate),
                                  bool(keep_metadata), bool(strip), bool(exact))
    return ThumbnailInfo(*info)
