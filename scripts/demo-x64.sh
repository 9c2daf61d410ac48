#!/usr/bin/env bash
# The main job on 64-bit Windows: the x64 package installed in a private
# 64-bit prefix (the 32-bit product in the product folder, the x64 product in
# its x64 subfolder, one company policy, both hooks registered by the regsvr32
# of their bitness), and controlled documents offered through the shell host
# of either bitness. The application's bitness picks the plug-in. As in
# demo.sh, every Windows program's output goes to a file, never a pipe.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/demo-lib.sh
usage='usage: bash scripts/demo-x64.sh [--keep] [--trace]
       bash scripts/demo-x64.sh --help

Builds both builds and the x64 MSI package, installs it in a private 64-bit
Wine prefix (build-x64/demo-prefix), checks both builds with vmcheck and
offers controlled documents through the 64-bit and the 32-bit shell host.

  --keep   leave the product installed (vmcheck of each build passes) and
           say how to run its tools there
  --trace  show the developer traces too: what the launchers and the
           plug-ins wrote to the debugger output
  --help   print this and exit'
demo_options "$usage" "$@"
root=$PWD
bash scripts/install-deps.sh
build=${BUILD_DIR:-build}
build64=${BUILD_DIR_X64:-build-x64}
build_tree "$build" cmake/toolchain-i686-mingw.cmake
build_tree "$build64" cmake/toolchain-x86_64-mingw.cmake -DVM_X86_BIN_DIR="$root/$build/bin"

export WINEPREFIX=$root/$build64/demo-prefix WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
wine=/usr/lib/wine/wine64
fresh_prefix "64-bit "

drive_c=$WINEPREFIX/drive_c
product_unix="$drive_c/Program Files (x86)/Korvane/Lumidex"
product='C:\Program Files (x86)\Korvane\Lumidex'
docs='C:\docs'
admin='C:\admin'
reg64='C:\windows\system32\reg.exe'
reg32='C:\windows\syswow64\reg.exe'

# A registry value in both views: each hook reads its own.
reg_both() { run "$reg64" add "$@" /f >/dev/null; run "$reg32" add "$@" /f >/dev/null; }
# The check of the build in the folder $1 (the product folder or its x64
# subfolder), in short: how many checks passed, then every other line.
check() {
  say "$1vmcheck"
  run "$product\\${1}vmcheck.exe" | awk '/^OK / { ok++; next } /^summary:/ { last = $0; next } { print }
    END { if (ok) printf "(%d checks OK)\n", ok; if (last) print last }' || true
}
# A request offered through the shell host of the build in the folder $1.
offer() {
  local folder=$1
  shift
  say "${folder}shellexec $*"
  if [ -n "$trace" ]; then
    run "$product\\${folder}shellexec.exe" --no-fallback --trace "$@" || true
  else
    run "$product\\${folder}shellexec.exe" --no-fallback "$@" | grep -a -E '^(hInstApp|verdict):' || true
  fi
}

# Windows records the 64-bit Program Files folder in the 64-bit view; Wine's
# prefix lacks the value, and the 32-bit hook reads it to trust programs there.
run "$reg64" add 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion' /v ProgramW6432Dir /t REG_SZ \
  /d 'C:\Program Files' /f >/dev/null
# A 64-bit program that opens documents: a copy of the 64-bit notepad.
mkdir -p "$drive_c/Program Files/Demo" "$drive_c/admin" "$drive_c/docs"
cp "$drive_c/windows/system32/notepad.exe" "$drive_c/Program Files/Demo/pad64.exe"

echo "== One company policy for both builds: notepad.exe and pad64.exe (a 64-bit notepad) run under control"
printf 'CompanyID=DEMO-0064\r\nnotepad.exe=vmplugin.dll\r\npad64.exe=vmplugin.dll\r\n' >"$drive_c/admin/policy.txt"
plugins=$(winpath "$root/$build64/bin")
say "ciphertool --product-folder $plugins seal $admin\\policy.txt $admin\\company.ccf"
run "$(winpath "$root/$build64/bin/ciphertool.exe")" --product-folder "$plugins" seal \
  "$admin\\policy.txt" "$admin\\company.ccf"

echo
echo "== Installing lumidex-x64.msi: the 32-bit product in $product, the x64 product in $product\\x64"
say "msiexec /i lumidex-x64.msi /qn COMPANYPOLICY=$admin\\company.ccf"
run msiexec /i "$(winpath "$root/$build64/bin/lumidex-x64.msi")" /qn COMPANYPOLICY="$admin\\company.ccf"
hooks='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\ShellExecuteHooks'
clsid='{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}'
# The module registered for the hook's class in the registry view of $1.
hook_module() {
  local module
  module=$(run "$1" query "HKCR\\CLSID\\$clsid\\InprocServer32" /ve 2>/dev/null | awk -F'    ' '/REG_SZ/ { print $NF }') || true
  echo "${module:-(none)}"
}
echo "-- the hook of each view: 64-bit $(hook_module "$reg64"), 32-bit $(hook_module "$reg32")"
check 'x64\'
check ''

echo
echo "== Control table in both views: .vmd opens in the 32-bit notepad, .vm64 in pad64.exe"
# vmcheck writes the control table of both views, whichever build runs.
reg_both 'HKCR\Applications\notepad.exe\shell\open\command' /ve /t REG_SZ /d 'C:\windows\syswow64\notepad.exe %1'
reg_both 'HKCR\Applications\pad64.exe\shell\open\command' /ve /t REG_SZ /d '"C:\Program Files\Demo\pad64.exe" "%1"'
say 'x64\vmcheck --control-table add .vmd 4 notepad.exe'
run "$product\\x64\\vmcheck.exe" --control-table add .vmd 4 notepad.exe
say 'vmcheck --control-table add .vm64 4 pad64.exe'
run "$product\\vmcheck.exe" --control-table add .vm64 4 pad64.exe
printf 'controlled drawing\r\n' >"$drive_c/docs/plan.vmd"
printf 'controlled sheet\r\n' >"$drive_c/docs/sheet.vm64"

if [ -n "$trace" ]; then
  watch_log=$(mktemp)
  $wine "$product\\x64\\tracewatch.exe" --seconds 40 </dev/null >"$watch_log" 2>/dev/null &
  watch_pid=$!
  sleep 2
fi

echo
echo "== Requests through the 64-bit host (x64\\shellexec, as Explorer) and the 32-bit host (shellexec)"
offer 'x64\' --verb open "$docs\\plan.vmd"
offer '' --verb open "$docs\\plan.vmd"
offer '' --verb open "$docs\\sheet.vm64"
offer 'x64\' --verb open "$docs\\sheet.vm64"

if [ -n "$trace" ]; then
  echo
  echo "== What the launchers and the plug-ins wrote (tracewatch)"
  show_watched_texts "$watch_log" "$watch_pid"
fi

echo
echo "== Unregistering the 32-bit hook leaves the 64-bit one; registering it again mends the 32-bit check"
say 'C:\windows\syswow64\regsvr32.exe /u /s vormidmgr.dll'
run 'C:\windows\syswow64\regsvr32.exe' /u /s "$product\\vormidmgr.dll"
echo "-- the hook of each view: 64-bit $(hook_module "$reg64"), 32-bit $(hook_module "$reg32")"
check ''
say 'C:\windows\syswow64\regsvr32.exe /s vormidmgr.dll'
run 'C:\windows\syswow64\regsvr32.exe' /s "$product\\vormidmgr.dll"
check ''

echo
echo "== The demo's control-table entries go again, in both views"
say 'vmcheck --control-table remove .vmd'
run "$product\\vmcheck.exe" --control-table remove .vmd
say 'x64\vmcheck --control-table remove .vm64'
run "$product\\x64\\vmcheck.exe" --control-table remove .vm64
if [ -n "$keep" ]; then
  check 'x64\'
  check ''
  echo "== Kept installed in $WINEPREFIX"
  echo "   run its tools as: WINEPREFIX=$WINEPREFIX /usr/lib/wine/wine64 '$product\\x64\\vmcheck.exe'"
else
  echo "== Uninstalling"
  say "msiexec /x lumidex-x64.msi /qn"
  run msiexec /x "$(winpath "$root/$build64/bin/lumidex-x64.msi")" /qn
  [ -d "$product_unix" ] && echo "still there: $product" || echo "removed: $product"
fi
# Ends what the requests started (the 64-bit notepad stays until it is ended).
wineserver -k 2>/dev/null || true
