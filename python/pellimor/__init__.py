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
    parse_size,
    read_info,
    release_caches,
    resize_file,
    resize_files,
    set_cache_limit,
)


class Image(_numpy.ndarray):
    """An array read from a file, which remembers whether its last channel is alpha, or its channels ink.

    ``alpha`` is True when the file had an alpha channel; resize(alpha=None)
    then resizes the colour premultiplied by it. ``cmyk`` is True when the
    4 channels are cyan, magenta, yellow and black ink (read(cmyk=True) of
    a CMYK file), ``icc`` then the file's ICC profile (bytes, or None):
    write() and encode() keep them as CMYK, and resize() gives an Image of
    the same ink. Views, slices and arithmetic keep the flags (resize()
    ignores alpha once the array no longer has 2 or 4 channels);
    ``numpy.asarray`` drops them, as it drops the class.
    """

    alpha = False
    cmyk = False
    icc = None

    def __array_finalize__(self, obj):
        self.alpha = getattr(obj, "alpha", False)
        self.cmyk = getattr(obj, "cmyk", False)
        self.icc = getattr(obj, "icc", None)

    def __reduce__(self):
        rebuild, args, state = super().__reduce__()
        return rebuild, args, (state, self.alpha, self.cmyk, self.icc)

    def __setstate__(self, state):
        base, self.alpha = state[0], state[1]
        self.cmyk, self.icc = state[2:] if len(state) == 4 else (False, None)
        super().__setstate__(base)


def _image(array, cmyk=False, icc=None):
    image = array.view(Image)
    image.cmyk = cmyk
    image.icc = icc if cmyk else None
    image.alpha = not cmyk and image.ndim == 3 and image.shape[2] in (2, 4)
    return image


def read(path, *, max_pixels=None, max_memory=None, page=1, metadata=False, cmyk=False):
    if cmyk:
        array, meta, ink = _pellimor.read(
            path, max_pixels=max_pixels, max_memory=max_memory, page=page, metadata=True, cmyk=True
        )
        image = _image(array, ink, meta.get("icc"))
        return (image, meta) if metadata else image
    result = _pellimor.read(path, max_pixels=max_pixels, max_memory=max_memory, page=page, metadata=metadata)
    return (_image(result[0]), result[1]) if metadata else _image(result)


def decode(data, *, max_pixels=None, max_memory=None, cmyk=False):
    if cmyk:
        array, icc, ink = _pellimor.decode(data, max_pixels=max_pixels, max_memory=max_memory, cmyk=True)
        return _image(array, ink, icc)
    return _image(_pellimor.decode(data, max_pixels=max_pixels, max_memory=max_memory))


def _ink(array, cmyk, metadata):
    """cmyk and metadata for an array: an Image of ink says so itself, and brings its profile."""
    if cmyk is None:
        cmyk = bool(getattr(array, "cmyk", False))
    icc = getattr(array, "icc", None)
    if cmyk and icc is not None and getattr(array, "cmyk", False) and (metadata is None or "icc" not in metadata):
        metadata = dict(metadata or {}, icc=icc)
    return cmyk, metadata


def write(path, array, quality=92, metadata=None, *, lossless=False, cmyk=None):
    cmyk, metadata = _ink(array, cmyk, metadata)
    _pellimor.write(path, array, quality, metadata, lossless=lossless, cmyk=cmyk)


def encode(array, format, quality=92, *, metadata=None, cmyk=None):
    cmyk, metadata = _ink(array, cmyk, metadata)
    return _pellimor.encode(array, format, quality, metadata=metadata, cmyk=cmyk)


def resize(image, shape, **options):
    result = _pellimor.resize(image, shape, **options)
    # Ink resized is still ink, of the same profile.
    if getattr(image, "cmyk", False) and options.get("out") is None and result.ndim == 3 and result.shape[2] == 4:
        result = _image(result, True, image.icc)
    return result


_alpha_note = (
    "Alpha is straight (not premultiplied).\nThe array is a pellimor.Image whose .alpha says whether the\n"
    "last channel is alpha; resize() honours it by default."
)
read.__doc__ = _pellimor.read.__doc__.replace("Alpha is straight (not premultiplied).", _alpha_note)
decode.__doc__ = _pellimor.decode.__doc__
write.__doc__ = _pellimor.write.__doc__
encode.__doc__ = _pellimor.encode.__doc__
resize.__doc__ = _pellimor.resize.__doc__

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
