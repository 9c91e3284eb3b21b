# SPDX-License-Identifier: MIT
import os
from typing import Any, Dict, List, Literal, NamedTuple, Optional, Sequence, Tuple, Union, overload

import numpy as np
import numpy.typing as npt

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_Samples = Union[np.uint8, np.uint16, np.float32, np.float64]
_Round = Literal["trunc", "nearest"]
_Engine = Literal["fast", "direct"]
_Nan = Literal["propagate", "raise"]
_Strip = Union[bool, Literal["meta", "all"]]
# Keys: icc, exif (bytes); xmp, xmp_extended (str); text (list of (keyword, str)); dpi
# ((x, y)); gamma (float); chromaticities (8 floats); srgb (int).
_Metadata = Dict[str, Any]
_Array = npt.NDArray[_Samples]

__version__: str

class Error(OSError): ...

class Image(np.ndarray):
    """An array read() made from a file; alpha: its last channel is alpha;
    cmyk: its 4 channels are ink (read(cmyk=True)), icc then the file's
    ICC profile, which write() and encode() keep."""

    alpha: bool
    cmyk: bool
    icc: Optional[bytes]

def resize(
    image: npt.ArrayLike,
    shape: Sequence[int],
    *,
    axes: Union[int, Sequence[int], None] = None,
    channel_axis: Optional[int] = None,
    round: _Round = "nearest",
    taper: float = 0.0,
    linear: bool = False,
    threads: int = 0,
    engine: _Engine = "fast",
    alpha: Optional[bool] = None,
    nan: _Nan = "propagate",
    out: Optional[npt.NDArray[_Samples]] = None,
) -> npt.NDArray[_Samples]:
    """Resizes along `axes` (None: every axis, or rows and columns of an image
    with channels last). nan="propagate": one NaN or infinity makes every
    value sharing its position on the axes not resized NaN (for an image:
    its channel's result) throughout (+-inf where nothing cancels it: a 1 x 1 result,
    some values with engine="direct"; with alpha=True a non-finite alpha
    makes the alpha channel NaN and the colour channels 0). nan="raise":
    ValueError naming the first non-finite sample as (row, column, channel),
    before any work. threads: 0 to 1024, 0 for one per core. alpha and
    linear take any number of resized axes (alpha: with a channel axis,
    alpha last), each element taken as an image's pixel is."""
@overload
def read(
    path: _Path,
    *,
    max_pixels: Optional[int] = None,
    max_memory: Optional[int] = None,
    page: int = 1,
    metadata: Literal[False] = False,
    cmyk: bool = False,
) -> Image: ...
@overload
def read(
    path: _Path,
    *,
    max_pixels: Optional[int] = None,
    max_memory: Optional[int] = None,
    page: int = 1,
    metadata: Literal[True],
    cmyk: bool = False,
) -> Tuple[Image, _Metadata]: ...
def write(
    path: _Path,
    array: npt.ArrayLike,
    quality: int = 92,
    metadata: Optional[_Metadata] = None,
    *,
    lossless: bool = False,
    cmyk: Optional[bool] = None,
) -> None: ...

class ImageInfo(NamedTuple):
    width: int
    height: int
    channels: int
    dtype: np.dtype
    format: Literal["bmp", "png", "jpeg", "tiff", "webp", "gif"]
    orientation: int

def read_info(path: _Path, *, max_pixels: Optional[int] = None, max_memory: Optional[int] = None) -> ImageInfo: ...
def decode(
    data: Union[bytes, bytearray, memoryview, npt.NDArray[np.uint8]],
    *,
    max_pixels: Optional[int] = None,
    max_memory: Optional[int] = None,
    cmyk: bool = False,
) -> Image: ...
def encode(
    array: npt.ArrayLike,
    format: Literal["bmp", "png", "jpeg", "jpg", "tiff", "tif", "webp"],
    quality: int = 92,
    *,
    metadata: Optional[_Metadata] = None,
    cmyk: Optional[bool] = None,
) -> bytes: ...
def resize_file(
    src: _Path,
    dst: _Path,
    size: Optional[str] = None,
    *,
    format: Optional[Literal["bmp", "png", "jpeg", "tiff", "webp"]] = None,
    quality: int = 92,
    round: _Round = "nearest",
    taper: float = 0.0,
    linear: bool = False,
    threads: int = 0,
    engine: _Engine = "fast",
    strip: _Strip = False,
    max_pixels: Optional[int] = None,
    max_memory: Optional[int] = None,
    page: int = 1,
    lossless: bool = False,
) -> None: ...
def resize_files(
    inputs: Sequence[_Path],
    output: _Path,
    *,
    size: Optional[str] = None,
    format: Optional[Literal["bmp", "png", "jpeg", "jpg", "tiff", "tif"]] = None,
    quality: int = 92,
    round: _Round = "nearest",
    taper: float = 0.0,
    linear: bool = False,
    threads: int = 0,
    jobs: int = 0,
    no_clobber: bool = False,
    strip: _Strip = False,
    max_pixels: Optional[int] = None,
    max_memory: Optional[int] = None,
) -> List[Tuple[str, str, Optional[str]]]: ...
def parse_size(size: str, width: int, height: int) -> Tuple[int, int]: ...
def release_caches() -> None: ...
def set_cache_limit(nbytes: int) -> int: ...
def cache_bytes() -> int: ...
