#!/usr/bin/env bash
# The benchmark: per request class the hook next to the floor, then an
# ordinary open through the shell host with and without the hook. Runs in a
# prefix of its own, where the hook is registered. With OTHER_HOOK (a
# vormidmgr.dll of another build, e.g. of an earlier commit), then each request
# class through this hook and that one side by side, nobody listening.
#   scripts/bench.sh [ITERATIONS [HOST_RUNS [OTHER_HOOK]]]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
cmake --build "$build" -j2 --target vmbench vormidmgr shellexec >/dev/null
prefix="$PWD/$build/benchprefix"
export VM_BIN_DIR="$PWD/$build/bin"
dll="Z:$PWD/$build/bin/vormidmgr.dll"
bash scripts/wine-run.sh "$prefix" regsvr32 /s "${dll//\//\\}"
# The shell host prints each request it makes; only the tables are kept.
bash scripts/wine-run.sh "$prefix" "$build/bench/vmbench.exe" --iterations "${1:-300}" --host "${2:-40}" |
  grep -v -e '^hInstApp=' -e '^lpFile=' -e '^hook {' -e '^shell: ' -e '^verdict: '
if [ -n "${3:-}" ]; then
  # Beside vmbench, so that it finds the same cipher.dll and policy file.
  cp "$3" "$build/bench/vormidmgr-other.dll"
  echo "side by side with $3:"
  bash scripts/wine-run.sh "$prefix" "$build/bench/vmbench.exe" --iterations "${1:-300}" \
    --compare "Z:${PWD//\//\\}\\$build\\bench\\vormidmgr-other.dll"
fi
WINEPREFIX="$prefix" wineserver -k 2>/dev/null || true
