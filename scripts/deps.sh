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
build_packages=(cmake make g++ pkg-config libfftw3-dev libpng-dev libjpeg62-turbo-dev libtiff-dev)

# What .ci/package needs besides: dpkg-shlibdeps for the package's
# dependencies, groff to check the man page.
package_packages=(dpkg-dev groff-base)
