#!/usr/bin/env bash
# Builds the Windows programs with mingw-w64 into build-win/bin (a copyable folder: the
# C++ runtime is linked statically). Installs the cross tools on first use: the compilers,
# widl (mingw-w64-tools), the .idl files of the system interfaces (libwine-dev), zlib for
# mingw, and Wine for the tests (scripts/test-windows.sh).
# Usage: scripts/build-windows.sh [target...]   (default: every Windows target)
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
cd "$here"

bash scripts/install-deps.sh --windows

# The shared compiler cache, when the machine has one.
[ -f /root/.ccache_env ] && . /root/.ccache_env
launcher=()
command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)

build=${ZEL_WIN_BUILD_DIR:-build-win}
if [ ! -f "$build/CMakeCache.txt" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release "${launcher[@]}"
fi
targets=()
for t in "$@"; do targets+=(--target "$t"); done
nice -n 10 cmake --build "$build" --parallel "${ZEL_WIN_JOBS:-2}" "${targets[@]}"
