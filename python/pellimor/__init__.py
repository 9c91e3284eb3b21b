# SPDX-License-Identifier: MIT
"""pellimor: resize images in the cosine-transform domain, on NumPy arrays.

Each channel plane goes through a whole-plane 2-D DCT; its coefficient array
is cut (to shrink) or extended with zeros (to enlarge) and transformed back at
the new size, scaled so that brightness is kept.

    resize(image, shape, ...)       an array to a new (rows, cols)
    read(path) / write(path, array) BMP, PNG, JPEG and TIFF files
    read_info(path)                 a file's header: size, channels, dtype, format
    decode(data) / encode(array, format) files held in memory, as bytes
    resize_file(src, dst, size)     a file to a file, as the program does
    resize_files(inputs, output)    many files, several at once
    parse_size(size, width, height) the (width, height) a geometry gives

Bad arguments raise ValueError (TypeError for a wrong type); failing files
raise pellimor.Error (an OSError); memory that cannot be had, or work that
would need more of it than the process may use, raises MemoryError. Every
function releases the GIL while it works.
"""

import numpy as _numpy

from . import _pellimor
from ._pellimor import (
    Error,
    ImageInfo,
    __version__,
    cache_bytes,
    encode,
    parse_size,
    read_info,
    release_caches,
    resize,
    resize_file,
    resize_files,
    set_cache_limit,
    write,
)


class Image(_numpy.ndarray):
    """An array read from a file, which remembers whether its last channel is alpha.

    ``alpha`` is True when the file had an alpha channel; resize(alpha=None)
    then resizes the colour premultiplied by it. Views, slices and
    arithmetic keep the flag (resize() ignores it once the array no longer
    has 2 or 4 channels); ``numpy.asarray`` drops it, as it drops the class.
    """

    alpha = False

    def __array_finalize__(self, obj):
        self.alpha = getattr(obj, "alpha", False)

    def __reduce__(self):
        rebuild, args, state = super().__reduce__()
        return rebuild, args, (state, self.alpha)

    def __setstate__(self, state):
        base, self.alpha = state
        super().__setstate__(base)


def _image(array):
    image = array.view(Image)
    image.alpha = image.ndim == 3 and image.shape[2] in (2, 4)
    return image


def read(path, *, max_pixels=None, max_memory=None, page=1, metadata=False):
    result = _pellimor.read(path, max_pixels=max_pixels, max_memory=max_memory, page=page, metadata=metadata)
    return (_image(result[0]), result[1]) if metadata else _image(result)


def decode(data, *, max_pixels=None, max_memory=None):
    return _image(_pellimor.decode(data, max_pixels=max_pixels, max_memory=max_memory))


_alpha_note = (
    "Alpha is straight (not premultiplied).\nThe array is a pellimor.Image whose .alpha says whether the\n"
    "last channel is alpha; resize() honours it by default."
)
read.__doc__ = _pellimor.read.__doc__.replace("Alpha is straight (not premultiplied).", _alpha_note)
decode.__doc__ = _pellimor.decode.__doc__

__all__ = [
    "Error",
    "Image",
    "ImageInfo",
    "__version__",
    "cache_bytes",
    "decode",
    "encode",
    "parse_size",
    "read",
    "read_info",
    "release_caches",
    "resize",
    "resize_file",
    "resize_files",
    "set_cache_limit",
    "write",
]
