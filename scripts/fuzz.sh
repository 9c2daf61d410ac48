#!/usr/bin/env bash
# The full fuzz run: one million inputs per target (FUZZ_COUNT to change it),
# the code-page-932 runs included, at the lowest priority. A target whose
# input hangs for good stops; the run goes on after that input.
#   scripts/fuzz.sh [TARGET[:CODEPAGE]...]     e.g. scripts/fuzz.sh hook script:932
set -uo pipefail
cd "$(dirname "$0")/.."
build=${BUILD_DIR:-build}
count=${FUZZ_COUNT:-1000000}
cmake --build "$build" -j2 --target vmfuzz >/dev/null || exit 1
runs=("script 1252" "script 932" "command 1252" "command 932" "lists 1252" "policy 1252"
      "header 1252" "hook 1252")
if [ $# -gt 0 ]; then
  runs=()
  for arg in "$@"; do
    target=${arg%%:*} codepage=1252
    [ "$arg" != "$target" ] && codepage=${arg#*:}
    runs+=("$target $codepage")
  done
fi
status=0
for run in "${runs[@]}"; do
  set -- $run
  target=$1 codepage=$2
  start=0
  while [ "$start" -lt "$count" ]; do
    log=$(mktemp)
    envs=(VM_SOURCE_DIR="$PWD" VM_BIN_DIR="$PWD/$build/bin")
    [ "$codepage" = 932 ] && envs+=(LC_ALL=ja_JP.UTF-8)
    env "${envs[@]}" nice -n 19 bash scripts/wine-run.sh "$PWD/$build/wineprefix" \
      "$build/fuzz/vmfuzz.exe" "$target" --count $((count - start)) --start "$start" >"$log" 2>&1
    rc=$?
    grep -E '^(vmfuzz|fault|hang|stuck|self-check)' "$log" | sed "s/^/[cp$codepage] /" | tail -n 40
    resume=$(sed -n 's/.*resume with --start \([0-9]*\).*/\1/p' "$log" | tail -n1)
    rm -f "$log"
    [ "$rc" -ne 0 ] && status=1
    if [ -n "$resume" ]; then start=$resume; else break; fi
  done
done
echo "findings (if any): $build/fuzz/findings"
exit $status
