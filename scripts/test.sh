#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs what is missing, builds pellimor with its tests and runs them.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/deps.sh"
ensure_packages "${build_packages[@]}" libgtest-dev
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=Release -DPELLIMOR_TESTS=ON
cmake --build "$root/build" -j"$(nproc)"
ctest --test-dir "$root/build" --output-on-failure -j"$(nproc)"

# The same tests again under AddressSanitizer and UndefinedBehaviorSanitizer.
bash "$root/.ci/sanitize"

# --- threads: the threaded tests under ThreadSanitizer ---
bash "$root/.ci/tsan"

# --- packaging: install into a scratch root, build the Debian package ---
bash "$root/.ci/package" "$root/build"

# --- Python module and library: pytest, consumer example ---
# The Python check first: it adds the module to build/, whose install the
# library check then follows too.
bash "$root/.ci/python" "$root/build"
bash "$root/.ci/library" "$root/build"
