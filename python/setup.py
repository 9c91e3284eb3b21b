# SPDX-License-Identifier: MIT
"""Builds the pellimor Python package from this repository's C++ sources.

    pip install --no-build-isolation ./python

works offline with Debian's python3-pip, python3-setuptools, python3-wheel,
pybind11-dev, python3-dev and the libraries the program needs (libfftw3-dev,
libpng-dev, libjpeg-dev, libtiff-dev, libwebp-dev, libgif-dev, libexif-dev, liblcms2-dev, libmd-dev, libzstd-dev). The library's sources are the ones
the top CMakeLists.txt lists in PELLIMOR_SOURCES, compiled straight into the
extension; the version is project()'s. Building needs the whole repository
checkout (the package is not meant to be built from an sdist).

Intermediate files go to python/build (or to $PELLIMOR_PIP_BUILD_DIR when
set), never to the repository's build/ folder.
"""

import os
import pathlib
import re

from setuptools import Extension, setup

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
CMAKE_LISTS = (ROOT / "CMakeLists.txt").read_text()


def cmake_list(name):
    found = re.search(r"set\(\s*" + name + r"\s+([^)]*)\)", CMAKE_LISTS)
    if not found:
        raise SystemExit(f"setup.py: no set({name} ...) in {ROOT / 'CMakeLists.txt'}")
    return [word for line in found.group(1).splitlines() for word in line.split("#")[0].split()]


VERSION = re.search(r"project\(pellimor\s+VERSION\s+([0-9.]+)", CMAKE_LISTS).group(1)
SOURCES = [str(ROOT / path) for path in cmake_list("PELLIMOR_SOURCES")] + [str(HERE / "src" / "module.cc")]
BUILD_DIR = os.environ.get("PELLIMOR_PIP_BUILD_DIR") or str(HERE / "build")
os.makedirs(BUILD_DIR, exist_ok=True)

extension = Extension(
    "pellimor._pellimor",
    sources=SOURCES,
    language="c++",
    include_dirs=[str(ROOT), str(ROOT / "include"), "/usr/include/pybind11"],
    define_macros=[("PELLIMOR_VERSION", f'"{VERSION}"'), ("NDEBUG", None)],
    extra_compile_args=["-std=c++20", "-O2", "-g0", "-fvisibility=hidden", "-fno-trapping-math"],
    extra_link_args=["-s"],
    libraries=["fftw3", "png", "z", "jpeg", "tiff", "webp", "webpdemux", "webpmux", "gif", "exif", "lcms2", "md", "zstd", "pthread"],
)

setup(
    name="pellimor",
    version=VERSION,
    description="Resize images in the cosine-transform domain, on NumPy arrays",
    python_requires=">=3.9",
    install_requires=["numpy"],
    packages=["pellimor"],
    package_data={"pellimor": ["__init__.pyi", "py.typed"]},
    ext_modules=[extension],
    zip_safe=False,
    options={"build": {"build_base": BUILD_DIR}, "egg_info": {"egg_base": BUILD_DIR}},
)
