import os
from typing import List, Literal, NamedTuple, Optional, Sequence, Tuple, Union

import numpy as np
import numpy.typing as npt

_Path = Union[str, bytes, "os.PathLike[str]", "os.PathLike[bytes]"]
_Samples = Union[np.uint8, np.uint16, np.float32, np.float64]
_Round = Literal["trunc", "nearest"]
_Engine = Literal["fast", "direct"]
_Nan = Literal["propagate", "raise"]

__version__: str

class Error(OSError): ...

def resize(
    image: npt.ArrayLike,
    shape: Tuple[int, int],
    *,
    round: _Round = "trunc",
    taper: float = 0.0,
    linear: bool = False,
    threads: int = 0,
    engine: _Engine = "fast",
    alpha: bool = False,
    nan: _Nan = "propagate",
    out: Optional[npt.NDArray[_Samples]] = None,
) -> npt.NDArray[_Samples]:
    """nan="propagate": one NaN or infinity in a channel makes that channel's
    result NaN throughout (+-inf where nothing cancels it: a 1 x 1 result,
    some values with engine="direct"; with alpha=True a non-finite alpha
    makes the alpha channel NaN and the colour channels 0). nan="raise":
    ValueError naming the first non-finite sample as (row, column, channel),
    before any work. threads: 0 to 1024, 0 for one per core."""
def read(
    path: _Path, *, max_pixels: Optional[int] = None, max_memory: Optional[int] = None
) -> npt.NDArray[_Samples]: ...

class ImageInfo(NamedTuple):
    width: int
    height: int
    channels: int
    dtype: np.dtype
    format: Literal["bmp", "png", "jpeg", "tiff"]
    orientation: int

def read_info(path: _Path, *, max_pixels: Optional[int] = None, max_memory: Optional[int] = None) -> ImageInfo: ...
def decode(
    data: Union[bytes, bytearray, memoryview, npt.NDArray[np.uint8]],
    *,
    max_pixels: Optional[int] = None,
    max_memory: Optional[int] = None,
) -> npt.NDArray[_Samples]: ...
def encode(
    array: npt.ArrayLike, format: Literal["bmp", "png", "jpeg", "jpg", "tiff", "tif"], quality: int = 92
) -> bytes: ...
def write(path: _Path, array: npt.ArrayLike, quality: int = 92) -> None: ...
def resize_file(
    src: _Path,
    dst: _Path,
    size: Optional[str] = None,
    *,
    format: Optional[Literal["bmp", "png", "jpeg", "tiff"]] = None,
    quality: int = 92,
    round: _Round = "trunc",
    taper: float = 0.0,
    linear: bool = False,
    threads: int = 0,
    engine: _Engine = "fast",
    max_pixels: Optional[int] = None,
    max_memory: Optional[int] = None,
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
    strip: bool = False,
    max_pixels: Optional[int] = None,
    max_memory: Optional[int] = None,
) -> List[Tuple[str, str, Optional[str]]]: ...
def parse_size(size: str, width: int, height: int) -> Tuple[int, int]: ...
def release_caches() -> None: ...
def set_cache_limit(nbytes: int) -> int: ...
def cache_bytes() -> int: ...
