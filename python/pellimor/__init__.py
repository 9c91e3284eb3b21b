"""pellimor: resize images in the cosine-transform domain, on NumPy arrays.

Each channel plane goes through a whole-plane 2-D DCT; its coefficient array
is cut (to shrink) or extended with zeros (to enlarge) and transformed back at
the new size, scaled so that brightness is kept.

    resize(image, shape, ...)       an array to a new (rows, cols)
    read(path) / write(path, array) BMP, PNG, JPEG and TIFF files
    resize_file(src, dst, size)     a file to a file, as the program does

Bad arguments raise ValueError; failing files raise pellimor.Error (an
OSError). Every function releases the GIL while it works.
"""

from ._pellimor import Error, __version__, read, resize, resize_file, write

__all__ = ["Error", "__version__", "read", "resize", "resize_file", "write"]
