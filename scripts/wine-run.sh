#!/usr/bin/env bash
# Runs a Windows program under Wine in a private prefix, creating the prefix
# on first use:  wine-run.sh [--win64] PREFIX PROGRAM [ARGS...]
# A 32-bit prefix by default; --win64 makes a 64-bit one (which runs 32-bit
# programs too) and starts the program with the 64-bit loader.
set -u
arch=win32
wine=wine
if [ "${1:-}" = "--win64" ]; then
  arch=win64
  wine=/usr/lib/wine/wine64
  shift
fi
prefix=$1
shift
export WINEPREFIX=$prefix WINEARCH=$arch
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY

mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/system.reg" ]; then
    $wine wineboot -i >/dev/null 2>&1
    wineserver -w
  fi
) 9>"$prefix.lock"

# A server kept alive between programs saves a third of a second a start; it
# ends by itself 30 s after the last program.
setsid wineserver -p30 </dev/null >/dev/null 2>&1 &

# The server keeps the Unix files behind a program's standard handles open
# while it lives: a pipe given to wine would stay open long after the program
# ended. The program writes to a file instead, shown when it ends. With
# VM_STDERR_FILE set, its standard error (where Wine prints the debug channels
# of the program and of the processes it starts) goes to that file instead.
out=$(mktemp)
trap 'rm -f "$out"' EXIT
if [ -n "${VM_STDERR_FILE:-}" ]; then
  $wine "$@" </dev/null >"$out" 2>"$VM_STDERR_FILE"
else
  $wine "$@" </dev/null >"$out" 2>&1
fi
status=$?
cat "$out"
exit $status
