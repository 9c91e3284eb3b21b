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

from ._pellimor import (
    Error,
    ImageInfo,
    __version__,
    cache_bytes,
    decode,
    encode,
    parse_size,
    read,
    read_info,
    release_caches,
    resize,
    resize_file,
    resize_files,
    set_cache_limit,
    write,
)

__all__ = [
    "Error",
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
