#!/usr/bin/env bash
# The main job: installs the built product into a private Wine prefix as an
# administrator would, from its MSI package with a sealed company policy,
# checks the installation, offers representative shell requests to the hook
# through shellexec and shows each answer with its trace, shows Office loading
# the add-ins, and uninstalls. With --keep the product stays installed in
# both prefixes, and the demo says where they are. It ends with a table of
# the verdicts it showed.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/demo-lib.sh
root=$PWD
keep=""
[ "${1:-}" = "--keep" ] && keep=--keep
demo_log=$(mktemp)
exec > >(tee "$demo_log") 2>&1
bash scripts/install-deps.sh
build=${BUILD_DIR:-build}
build_tree "$build" cmake/toolchain-i686-mingw.cmake

export WINEPREFIX=$root/$build/demo-prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
fresh_prefix ""

drive_c=$WINEPREFIX/drive_c
product_unix="$drive_c/Program Files/Korvane/Lumidex"
product='C:\Program Files\Korvane\Lumidex'
docs='C:\docs'

reg() { run reg "$@" >/dev/null; }

echo "== Company policy: notepad.exe runs under control with the sample plug-in"
mkdir -p "$drive_c/docs"
cat >"$drive_c/docs/policy.txt" <<'POLICY'
; demo company policy
CompanyID=DEMO-0001
DeleteOtherAddin=0
notepad.exe=vmplugin.dll
POLICY
# The plug-ins lie in the built product, not beside the draft.
plugins=$(winpath "$root/$build/bin")
run "$(winpath "$root/$build/bin/ciphertool.exe")" seal --product-folder "$plugins" "$docs\\policy.txt" "$docs\\company.ccf"
run "$(winpath "$root/$build/bin/ciphertool.exe")" check-policy --product-folder "$plugins" "$docs\\company.ccf"

echo
echo "== Installing the package: msiexec /i lumidex.msi /qn COMPANYPOLICY=$docs\\company.ccf"
run msiexec /i "$(winpath "$root/$build/bin/lumidex.msi")" /qn "COMPANYPOLICY=$docs\\company.ccf"
ls "$product_unix"
run reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\ShellExecuteHooks'
run reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Policies\Explorer' /v EnableShellExecuteHooks

echo
echo "== Checking the installation: vmcheck"
run "$product\\vmcheck.exe" || true

echo "== Control table: .vmd documents are always controlled and open in notepad"
run "$product\\vmcheck.exe" --control-table add .vmd 4 notepad.exe
run "$product\\vmcheck.exe" --control-table list
reg add 'HKCR\Applications\notepad.exe\shell\open\command' /ve /t REG_SZ /d 'C:\windows\notepad.exe %1' /f

echo "== Sample documents and associations"
printf 'plain text\r\n' >"$drive_c/docs/report.txt"
printf 'controlled drawing\r\n' >"$drive_c/docs/plan.vmd"
printf 'secret\r\n' >"$drive_c/docs/secret-plain.txt"
run "$product\\ciphertool.exe" wrap "$docs\\secret-plain.txt" "$docs\\secret.vmx"
reg add 'HKCR\.vmx' /ve /t REG_SZ /d VmDemo.Sealed /f
reg add 'HKCR\VmDemo.Sealed\shell\open\command' /ve /t REG_SZ /d '"C:\windows\notepad.exe" "%1"' /f
reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\FileExts\.vmu' /v Application /t REG_SZ /d notepad.exe /f
printf 'per-user choice\r\n' >"$drive_c/docs/note.vmu"
# An ordinary document type with an application the policy does not name.
reg add 'HKCR\.vml' /ve /t REG_SZ /d VmDemo.Letter /f
reg add 'HKCR\VmDemo.Letter\shell\open\command' /ve /t REG_SZ /d '"C:\windows\system32\write.exe" "%1"' /f
printf 'letter\r\n' >"$drive_c/docs/letter.vml"
# A user's own copy of a registered program, where users write.
mkdir -p "$drive_c/users/Public/tools"
cp "$drive_c/windows/notepad.exe" "$drive_c/users/Public/tools/notepad.exe"

offer() {
  echo
  echo "-- shellexec $*"
  run "$product\\shellexec.exe" --no-fallback --trace "$@" || true
}

# Texts of the launcher, the plug-in and the applications reach the system's
# debug-output channel; tracewatch records them while the requests run.
watch_log=$(mktemp)
wine "$product\\tracewatch.exe" --seconds 40 </dev/null >"$watch_log" 2>/dev/null &
watch_pid=$!
sleep 2

echo
echo "== Requests offered to the hook, as Explorer offers them"
offer --verb open "$docs\\report.txt"
offer --verb open "$docs\\letter.vml"
offer --verb print "$docs\\plan.vmd"
offer --verb open "$docs\\secret.vmx"
offer --verb open "$docs\\note.vmu"
offer --verb open --class VmDemo.Sealed "$docs\\secret.vmx"
offer --verb openas "$docs\\report.txt"
offer --verb open --params '/p' 'C:\windows\notepad.exe'
offer --verb open 'C:\windows\system32\calc.exe'
offer --verb open "$docs\\Desktop.scf"
offer --verb runas "$docs\\report.txt"
offer --no-file --verb open

echo
echo "== Refused: a request text holding the launcher's mark, and a user's copy of a registered"
echo "   program outside the folders only administrators change"
offer --verb open --params '/D:C:\docs\other.dll' 'C:\windows\notepad.exe'
offer --verb open 'C:\users\Public\tools\notepad.exe'

echo
echo "== Trying a draft policy before deploying it: write.exe is to be controlled too"
cat >"$drive_c/docs/draft.txt" <<'POLICY'
; demo company policy, second version
CompanyID=DEMO-0001
DeleteOtherAddin=0
notepad.exe=vmplugin.dll
write.exe=vmplugin.dll
POLICY
run "$product\\ciphertool.exe" seal --product-folder "$product" "$docs\\draft.txt" "$docs\\draft.ccf"
run "$product\\ciphertool.exe" check-policy --product-folder "$product" "$docs\\draft.ccf"
echo "-- shellexec --dry-run --policy $docs\\draft.ccf --verb open $docs\\letter.vml"
run "$product\\shellexec.exe" --dry-run --policy "$docs\\draft.ccf" --verb open "$docs\\letter.vml" || true
echo "-- the installed policy still hands it back:"
run "$product\\shellexec.exe" --dry-run --verb open "$docs\\letter.vml" | grep -a '^verdict:' || true
echo "-- deployed (copied over company.ccf), the real request goes through the launcher:"
cp "$drive_c/docs/draft.ccf" "$product_unix/company.ccf"
run "$product\\shellexec.exe" --no-fallback --verb open "$docs\\letter.vml" | grep -a -E '^(hInstApp|verdict):' || true

echo
echo "== The sealed documents' association now opens through DDE: the hook looks for a"
echo "   running notepad that carries the plug-in and would hand the request back to it;"
echo "   without a display Wine's notepad ends at once, so none runs and it launches again"
reg add 'HKCR\VmDemo.Sealed\shell\open\ddeexec\Application' /ve /t REG_SZ /d notepad /f
offer --verb open "$docs\\secret.vmx"

echo
echo "== What the launcher and the plug-in wrote (tracewatch, other processes)"
show_watched_texts "$watch_log" "$watch_pid"

echo
echo "== Office loads the add-ins: addinhost does what Word, PowerPoint and Excel do at start-up"
for app in Word PowerPoint Excel; do
  echo "-- addinhost --trace $app"
  run "$product\\addinhost.exe" --trace "$app" || true
done

echo
echo "== Word's add-in fails to load (its class points at a missing file): Word marks it 2"
word_clsid=$(run reg query 'HKCR\Quorix01.Word9AddIn\CLSID' /ve | grep -o '{[^}]*}')
reg add "HKCR\\CLSID\\$word_clsid\\InprocServer32" /ve /t REG_SZ /d 'C:\nowhere\quorix01.dll' /f
run "$product\\addinhost.exe" Word || true
run "$product\\vmcheck.exe" | grep -a 'Quorix01' || true
echo "-- the next request's upkeep registers it again (regsvr32 /s quorix01.dll)"
offer --verb open "$docs\\report.txt" >/dev/null
for _ in 1 2 3 4 5 6 7 8 9 10; do
  run reg query 'HKCU\Software\Microsoft\Office\Word\Addins\Quorix01.Word9AddIn' /v LoadBehavior | grep -q 0x3 && break
  sleep 0.5
done
run "$product\\addinhost.exe" Word || true

echo
echo "== The demo's control-table entry goes again"
run "$product\\vmcheck.exe" --control-table remove .vmd
run "$product\\vmcheck.exe" --control-table list

echo
if [ -n "$keep" ]; then
  echo "== Kept installed in $WINEPREFIX"
  echo "   run its tools as: WINEPREFIX=$WINEPREFIX wine '$product\\vmcheck.exe'"
else
  echo "== Uninstalling: msiexec /x lumidex.msi /qn"
  run msiexec /x "$(winpath "$root/$build/bin/lumidex.msi")" /qn
  for key in 'HKCR\Vormidmgr.DocHook' 'HKCR\CLSID\{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}' \
             'HKCR\TypeLib\{2B3CEFFD-1E69-4354-8CC5-CCEDCD4BE3F7}' 'HKCR\Quorix01.Word9AddIn' \
             'HKCU\Software\Microsoft\Office\Word\Addins\Quorix01.Word9AddIn' \
             'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\ShellExecuteHooks'; do
    if run reg query "$key" >/dev/null 2>&1; then echo "still there: $key"; else echo "removed: $key"; fi
  done
  run reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Policies\Explorer' /v EnableShellExecuteHooks \
    >/dev/null 2>&1 && echo "still there: EnableShellExecuteHooks" || echo "removed: EnableShellExecuteHooks"
  [ -d "$product_unix" ] && echo "still there: $product" || echo "removed: $product"
fi
wineserver -k 2>/dev/null || true
echo
echo "== 64-bit Windows: both builds side by side (scripts/demo-x64.sh $keep)"
bash scripts/demo-x64.sh $keep
echo
echo "== The verdicts this demo showed"
{ grep -a -o 'verdict: .*' "$demo_log" || true; } | tr -d '\r' | sort | uniq -c | sort -rn
rm -f "$demo_log"
