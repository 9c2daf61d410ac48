#!/usr/bin/env bash
# The main job on 64-bit Windows: the x64 package installed in a private
# 64-bit prefix (the 32-bit product in the product folder, the x64 product in
# its x64 subfolder, one company policy, both hooks registered by the regsvr32
# of their bitness), and controlled documents offered through the shell host
# of either bitness. The application's bitness picks the plug-in.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/demo-lib.sh
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
reg64='C:\windows\system32\reg.exe'
reg32='C:\windows\syswow64\reg.exe'

# A registry value in both views: each hook reads its own.
reg_both() { run "$reg64" add "$@" /f >/dev/null; run "$reg32" add "$@" /f >/dev/null; }

echo "== One company policy for both builds: notepad.exe and ciphertool.exe run under control"
mkdir -p "$drive_c/docs"
printf 'CompanyID=DEMO-0064\r\nnotepad.exe=vmplugin.dll\r\nciphertool.exe=vmplugin.dll\r\n' >"$drive_c/docs/policy.txt"
run "$(winpath "$root/$build64/bin/ciphertool.exe")" seal --product-folder "$(winpath "$root/$build64/bin")" \
  "$docs\\policy.txt" "$docs\\company.ccf"

echo "== Installing lumidex-x64.msi: the 32-bit product in $product, the x64 product in $product\\x64"
run msiexec /i "$(winpath "$root/$build64/bin/lumidex-x64.msi")" /qn COMPANYPOLICY="$docs\\company.ccf"
hooks='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\ShellExecuteHooks'
clsid='{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}'
echo "-- 64-bit view"; run "$reg64" query "$hooks"; run "$reg64" query "HKCR\\CLSID\\$clsid\\InprocServer32" /ve
echo "-- 32-bit view"; run "$reg32" query "$hooks"; run "$reg32" query "HKCR\\CLSID\\$clsid\\InprocServer32" /ve
echo "-- the check of each build"
(run "$product\\x64\\vmcheck.exe" || true) | sed "s/^/  /"
(run "$product\\vmcheck.exe" || true) | sed "s/^/  /"

echo "== Control table in both views: .vmd opens in the 32-bit notepad, .vm64 in a 64-bit"
echo "   program (the x64 ciphertool, which checks the document)"
# vmcheck writes the control table of both views, whichever build runs.
run "$product\\x64\\vmcheck.exe" --control-table add .vmd 4 notepad.exe >/dev/null
run "$product\\vmcheck.exe" --control-table add .vm64 4 ciphertool.exe >/dev/null
reg_both 'HKCR\Applications\notepad.exe\shell\open\command' /ve /t REG_SZ /d 'C:\windows\syswow64\notepad.exe %1'
reg_both 'HKCR\Applications\ciphertool.exe\shell\open\command' /ve /t REG_SZ \
  /d "\"$product\\x64\\ciphertool.exe\" check-document \"%1\""
printf 'controlled drawing\r\n' >"$drive_c/docs/plan.vmd"
printf 'controlled sheet\r\n' >"$drive_c/docs/sheet.vm64"

watch_log=$(mktemp)
$wine "$product\\x64\\tracewatch.exe" --seconds 40 </dev/null >"$watch_log" 2>/dev/null &
watch_pid=$!
sleep 2

offer() {
  local host=$1
  shift
  echo
  echo "-- $host shellexec $*"
  run "$host" --no-fallback "$@" || true
  sleep 2
}
echo
echo "== Requests through the 64-bit host (as Explorer) and the 32-bit host"
offer "$product\\x64\\shellexec.exe" --verb open "$docs\\plan.vmd"
offer "$product\\shellexec.exe" --verb open "$docs\\plan.vmd"
offer "$product\\shellexec.exe" --verb open "$docs\\sheet.vm64"
offer "$product\\x64\\shellexec.exe" --verb open "$docs\\sheet.vm64"

echo
echo "== What the launchers and the plug-ins wrote (tracewatch)"
show_watched_texts "$watch_log" "$watch_pid"

echo
echo "== Unregistering the 32-bit hook leaves the 64-bit one"
run 'C:\windows\syswow64\regsvr32.exe' /u /s "$product\\vormidmgr.dll"
echo "-- 64-bit view"; run "$reg64" query "$hooks" || true
echo "-- 32-bit view"; run "$reg32" query "$hooks" || echo "(no hooks)"
echo "== The demo's control-table entries go again, in both views"
run "$product\\vmcheck.exe" --control-table remove .vmd >/dev/null
run "$product\\x64\\vmcheck.exe" --control-table remove .vm64 >/dev/null
if [ "${1:-}" = "--keep" ]; then
  echo "== Kept installed in $WINEPREFIX"
  echo "   run its tools as: WINEPREFIX=$WINEPREFIX /usr/lib/wine/wine64 '$product\\x64\\vmcheck.exe'"
else
  echo "== Uninstalling"
  run msiexec /x "$(winpath "$root/$build64/bin/lumidex-x64.msi")" /qn
  ls "$product_unix" 2>/dev/null || echo "(the product folder is gone)"
fi
wineserver -k 2>/dev/null || true
echo "== Done"
