# SPDX-License-Identifier: MIT
# deps.sh - sourced by the other scripts: installs missing Debian packages.
# Usage: ensure_packages PACKAGE...
ensure_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  echo "installing: ${missing[*]}"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# What building pellimor needs.
build_packages=(cmake make g++ pkg-config libfftw3-dev libpng-dev libjpeg62-turbo-dev libtiff-dev
  libwebp-dev libgif-dev libexif-dev liblcms2-dev libmd-dev libzstd-dev libgs-common)

# What .ci/package needs besides: dpkg-shlibdeps for the package's
# dependencies, groff to check the man page, lintian to check the package.
package_packages=(dpkg-dev groff-base lintian)

# What bench/batch_bench.py runs as peers and measures with (never CI):
# libvips's and ImageMagick's command lines, GNU time for peak memory, NumPy
# to make the inputs; Google Benchmark for the micro-benchmarks
# (-DPELLIMOR_BENCH=ON).
bench_packages=(libvips-tools imagemagick time python3-numpy libbenchmark-dev)

# What .ci/python needs besides: the module's build (pybind11, the
# interpreter's headers, setuptools, wheel and pip for the pip install) and
# its tests (NumPy, SciPy, pytest, and distributed for the Dask example).
python_packages=(pybind11-dev python3-dev python3-numpy python3-scipy python3-pytest python3-pip
  python3-setuptools python3-wheel python3-distributed)
