#!/usr/bin/env bash
# The full soak: 100000 mixed requests (SOAK_REQUESTS to change it), handles
# and private memory every tenth, then eight threads against one.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake --build "$build" -j2 --target soak_test >/dev/null
VM_SOAK_REQUESTS=${SOAK_REQUESTS:-100000} VM_BIN_DIR="$PWD/$build/bin" \
  bash scripts/wine-run.sh "$PWD/$build/wineprefix" "$build/tests/soak/soak_test.exe"
