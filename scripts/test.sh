#!/usr/bin/env bash
# Installs what is missing, builds both builds and runs every test under Wine:
# the 32-bit build in build/ (a 32-bit prefix), then the x64 build in
# build-x64/ (a 64-bit prefix of its own, which also runs the 32-bit build's
# binaries for the tests that need both). Fails when either suite fails.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
# A compiler cache, where the machine has one, makes a rebuild of unchanged
# sources take seconds; it is read when a tree is first configured.
if command -v ccache >/dev/null; then
  export CMAKE_C_COMPILER_LAUNCHER=${CMAKE_C_COMPILER_LAUNCHER:-ccache}
  export CMAKE_CXX_COMPILER_LAUNCHER=${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}
fi
build=${BUILD_DIR:-build}
build64=${BUILD_DIR_X64:-build-x64}
# CMake reads a toolchain file only when it first configures a tree.
toolchain() { [ -f "$1/CMakeCache.txt" ] || echo "-DCMAKE_TOOLCHAIN_FILE=$2"; }
cmake -S . -B "$build" -G Ninja $(toolchain "$build" cmake/toolchain-i686-mingw.cmake) \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"
cmake -S . -B "$build64" -G Ninja $(toolchain "$build64" cmake/toolchain-x86_64-mingw.cmake) \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVM_X86_BIN_DIR="$PWD/$build/bin" >/dev/null
cmake --build "$build64" -j "$(nproc)"
status=0
echo "== 32-bit build ($build)"
(cd "$build" && ctest --output-on-failure "$@") || status=$?
WINEPREFIX="$PWD/$build/wineprefix" wineserver -k 2>/dev/null || true
echo "== x64 build ($build64)"
(cd "$build64" && ctest --output-on-failure "$@") || status=$?
WINEPREFIX="$PWD/$build64/wineprefix" wineserver -k 2>/dev/null || true
exit $status
