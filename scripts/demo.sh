#!/usr/bin/env bash
# The main job: installs the built product into a private Wine prefix as an
# administrator would, from its MSI package with a sealed company policy, and
# shows what an administrator sees: a controlled open, a refusal and its event
# in the audit trail, a type that fell open and its event 202, a draft policy
# tried over a folder, vmcheck catching the mistake and passing once it is
# fixed, more requests with their verdicts, Office loading the add-ins; then
# the x64 package (scripts/demo-x64.sh). It ends with a table of the verdicts
# it showed.
#
# Every Windows program's output goes to a file first, never straight into a
# pipe: under Wine a program that a request started keeps the standard
# handles it inherited until it ends (a controlled wordpad stays), and a pipe
# reader would wait for it. The programs the requests started are ended with
# the prefix's server at the end of each part.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/demo-lib.sh
usage='usage: bash scripts/demo.sh [--keep] [--trace]
       bash scripts/demo.sh --help

Builds the MSI packages (a few minutes the first time), installs the 32-bit
one in a private Wine prefix (build/demo-prefix) and shows, in order: a
controlled open, a refusal and its event read from the audit trail, a type
that fell open and its event 202, a draft policy tried over a folder (text
and CSV), vmcheck catching a mistake and passing after the fix, more
requests with their verdicts, Office loading the add-ins. Then the same for
the x64 package in a 64-bit prefix (build-x64/demo-prefix,
scripts/demo-x64.sh). Ends with a table of the verdicts it showed.

  --keep   leave the product installed in both prefixes (vmcheck passes in
           each) and say how to run its tools there
  --trace  show the developer traces too: the debugger texts of the hook,
           the launcher, the plug-in and the add-ins
  --help   print this and exit'
demo_options "$usage" "$@"
root=$PWD
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
admin='C:\admin'

reg() { run reg "$@" >/dev/null; }
# A tool of the installed product, as an administrator runs it: its command
# line shown first.
tool() {
  local name=$1
  shift
  say "$name $*"
  run "$product\\$name.exe" "$@"
}
# vmcheck's answer in short: how many checks passed, then every other line.
check() {
  say "vmcheck"
  run "$product\\vmcheck.exe" | awk '/^OK / { ok++; next } /^summary:/ { last = $0; next } { print }
    END { if (ok) printf "(%d checks OK)\n", ok; if (last) print last }' || true
}
# A request offered to the installed hook as Explorer offers it, with the
# audit trail on: the answer, then the events it wrote. --no-fallback: a
# request handed back opens nothing.
audited() {
  say "WINEDEBUG=+eventlog wine shellexec.exe --no-fallback $trace $*" | tr -s ' '
  run_events "$product\\shellexec.exe" --no-fallback $trace "$@" || true
}
# A request and its verdict (with --trace all that shellexec says).
offer() {
  say "shellexec $*"
  if [ -n "$trace" ]; then
    run "$product\\shellexec.exe" --no-fallback --trace "$@" || true
  else
    run "$product\\shellexec.exe" --no-fallback "$@" | grep -a '^verdict:' || true
  fi
}

echo "== Company policy: notepad.exe runs under control with the sample plug-in"
mkdir -p "$drive_c/admin" "$drive_c/docs"
cat >"$drive_c/admin/policy.txt" <<'POLICY'
; demo company policy
CompanyID=DEMO-0001
DeleteOtherAddin=0
notepad.exe=vmplugin.dll
POLICY
# The plug-ins lie in the built product, not beside the draft.
plugins=$(winpath "$root/$build/bin")
ciphertool=$(winpath "$root/$build/bin/ciphertool.exe")
say "ciphertool --product-folder $plugins seal $admin\\policy.txt $admin\\company.ccf"
run "$ciphertool" --product-folder "$plugins" seal "$admin\\policy.txt" "$admin\\company.ccf"
say "ciphertool --product-folder $plugins check-policy $admin\\company.ccf"
run "$ciphertool" --product-folder "$plugins" check-policy "$admin\\company.ccf"

echo
echo "== Installing the package (the tools below are in $product)"
say "msiexec /i lumidex.msi /qn COMPANYPOLICY=$admin\\company.ccf"
run msiexec /i "$(winpath "$root/$build/bin/lumidex.msi")" /qn "COMPANYPOLICY=$admin\\company.ccf"
check

echo
echo "== Control table: .vmd documents are always controlled and open in notepad"
reg add 'HKCR\Applications\notepad.exe\shell\open\command' /ve /t REG_SZ /d 'C:\windows\notepad.exe %1' /f
tool vmcheck --control-table add .vmd 4 notepad.exe

# The documents: C:\docs is the folder the draft is tried over.
printf 'controlled drawing\r\n' >"$drive_c/docs/plan.vmd"
printf 'plain text\r\n' >"$drive_c/docs/report.txt"
printf 'letter\r\n' >"$drive_c/docs/letter.vml"
printf 'per-user choice\r\n' >"$drive_c/docs/note.vmu"
printf 'secret\r\n' >"$drive_c/admin/secret-plain.txt"
run "$product\\ciphertool.exe" wrap "$admin\\secret-plain.txt" "$docs\\secret.vmx" >/dev/null
printf 'tool notes\r\n' >"$drive_c/docs/notes.vmt"
reg add 'HKCR\.vmx' /ve /t REG_SZ /d VmDemo.Sealed /f
reg add 'HKCR\VmDemo.Sealed\shell\open\command' /ve /t REG_SZ /d '"C:\windows\notepad.exe" "%1"' /f
reg add 'HKCU\Software\Microsoft\Windows\CurrentVersion\Explorer\FileExts\.vmu' /v Application /t REG_SZ /d notepad.exe /f
# An ordinary document type whose application the policy does not name.
reg add 'HKCR\.vml' /ve /t REG_SZ /d VmDemo.Letter /f
reg add 'HKCR\VmDemo.Letter\shell\open\command' /ve /t REG_SZ /d '"C:\windows\system32\write.exe" "%1"' /f
# A user's own copy of a registered program, where users write, and a type
# that opens in it.
mkdir -p "$drive_c/users/Public/tools"
cp "$drive_c/windows/notepad.exe" "$drive_c/users/Public/tools/notepad.exe"
reg add 'HKCR\.vmt' /ve /t REG_SZ /d VmDemo.Notes /f
reg add 'HKCR\VmDemo.Notes\shell\open\command' /ve /t REG_SZ /d '"C:\users\Public\tools\notepad.exe" "%1"' /f

if [ -n "$trace" ]; then
  # Texts of the launcher, the plug-in and the applications reach the
  # system's debug-output channel; tracewatch records them meanwhile.
  watch_log=$(mktemp)
  wine "$product\\tracewatch.exe" --seconds 60 </dev/null >"$watch_log" 2>/dev/null &
  watch_pid=$!
  sleep 2
fi

echo
echo "== 1. A controlled open: notepad starts through the launcher with the plug-in (event 100)"
audited --verb open "$docs\\plan.vmd"

echo
echo "== 2. A refusal and its event: a user's copy of notepad outside the folders only administrators change"
audited --verb open 'C:\users\Public\tools\notepad.exe'

echo
echo "== 3. Fell open: .vml becomes a controlled type, but the policy registers no plug-in for write.exe (event 202)"
reg add 'HKCR\Applications\write.exe\shell\open\command' /ve /t REG_SZ /d '"C:\windows\system32\write.exe" "%1"' /f
tool vmcheck --control-table add .vml 4 write.exe
audited --verb open "$docs\\letter.vml"

echo
echo "== 4. A draft policy tried over the documents' folder: write.exe gets the plug-in too"
cat >"$drive_c/admin/draft.txt" <<'POLICY'
; demo company policy, second version
CompanyID=DEMO-0001
DeleteOtherAddin=0
notepad.exe=vmplugin.dll
write.exe=vmplugin.dll
POLICY
tool ciphertool --product-folder "$product" seal "$admin\\draft.txt" "$admin\\draft.ccf"
tool shellexec --dry-run --policy "$admin\\draft.ccf" --folder "$docs" || true
say "shellexec --dry-run --policy $admin\\draft.ccf --folder $docs --csv > $admin\\what-if.csv"
err=$(mktemp)
wine "$product\\shellexec.exe" --dry-run --policy "$admin\\draft.ccf" --folder "$docs" --csv \
  </dev/null >"$drive_c/admin/what-if.csv" 2>"$err" || true
tr -d '\r' <"$err"
rm -f "$err"
echo "-- what-if.csv:"
tr -d '\r' <"$drive_c/admin/what-if.csv"

echo
echo "== 5. vmcheck catches the mistakes behind 3 and 4, and passes after the fixes"
check
echo "-- the fixes, as an administrator: deploy the draft, and let .vmt documents open in the"
echo "   installed notepad rather than the user's copy (the what-if showed them refused)"
say "copy /y $admin\\draft.ccf \"$product\\company.ccf\""
cp "$drive_c/admin/draft.ccf" "$product_unix/company.ccf"
say 'reg add HKCR\VmDemo.Notes\shell\open\command /ve /d "\"C:\windows\notepad.exe\" \"%1\"" /f'
reg add 'HKCR\VmDemo.Notes\shell\open\command' /ve /t REG_SZ /d '"C:\windows\notepad.exe" "%1"' /f
check
audited --verb open "$docs\\letter.vml"

echo
echo "== More requests, as Explorer offers them"
offer --verb print "$docs\\plan.vmd"
offer --verb open "$docs\\secret.vmx"
offer --verb open "$docs\\note.vmu"
offer --verb open --class VmDemo.Sealed "$docs\\secret.vmx"
offer --verb open "$docs\\report.txt"
offer --verb openas "$docs\\report.txt"
offer --verb open --params '/p' 'C:\windows\notepad.exe'
offer --verb open 'C:\windows\system32\calc.exe'
offer --verb open "$docs\\Desktop.scf"
offer --verb runas "$docs\\report.txt"
offer --no-file --verb open
offer --verb open --params '/D:C:\docs\other.dll' 'C:\windows\notepad.exe'
echo "-- through DDE, the hook looks for a running notepad with the plug-in to take the document"
echo "   (without a display Wine's notepad ends at once, so none runs: it starts one)"
reg add 'HKCR\VmDemo.Sealed\shell\open\ddeexec\Application' /ve /t REG_SZ /d notepad /f
offer --verb open "$docs\\secret.vmx"

if [ -n "$trace" ]; then
  echo
  echo "== What the launcher and the plug-in wrote (tracewatch, other processes)"
  show_watched_texts "$watch_log" "$watch_pid"
fi

echo
echo "== Office loads the add-ins as Word, PowerPoint and Excel do at start-up"
for app in Word PowerPoint Excel; do
  tool addinhost $trace "$app" || true
done
echo "-- Word's add-in fails to load (its class points at a missing file): Word marks it 2"
word_clsid=$(run reg query 'HKCR\Quorix01.Word9AddIn\CLSID' /ve | grep -o '{[^}]*}')
reg add "HKCR\\CLSID\\$word_clsid\\InprocServer32" /ve /t REG_SZ /d 'C:\nowhere\quorix01.dll' /f
tool addinhost Word || true
check
echo "-- the next request's upkeep registers it again (regsvr32 /s quorix01.dll)"
run "$product\\shellexec.exe" --no-fallback --verb open "$docs\\report.txt" >/dev/null || true
for _ in 1 2 3 4 5 6 7 8 9 10; do
  run reg query 'HKCU\Software\Microsoft\Office\Word\Addins\Quorix01.Word9AddIn' /v LoadBehavior | grep -q 0x3 && break
  sleep 0.5
done
tool addinhost Word || true

echo
echo "== The demo's control-table entries go again"
tool vmcheck --control-table remove .vmd
tool vmcheck --control-table remove .vml

echo
if [ -n "$keep" ]; then
  check
  echo "== Kept installed in $WINEPREFIX"
  echo "   run its tools as: WINEPREFIX=$WINEPREFIX wine '$product\\vmcheck.exe'"
else
  echo "== Uninstalling"
  say "msiexec /x lumidex.msi /qn"
  run msiexec /x "$(winpath "$root/$build/bin/lumidex.msi")" /qn
  left=()
  for key in 'HKCR\Vormidmgr.DocHook' 'HKCR\CLSID\{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}' \
             'HKCR\TypeLib\{2B3CEFFD-1E69-4354-8CC5-CCEDCD4BE3F7}' 'HKCR\Quorix01.Word9AddIn' \
             'HKCU\Software\Microsoft\Office\Word\Addins\Quorix01.Word9AddIn' \
             'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\ShellExecuteHooks'; do
    run reg query "$key" >/dev/null 2>&1 && left+=("$key")
  done
  run reg query 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Policies\Explorer' /v EnableShellExecuteHooks \
    >/dev/null 2>&1 && left+=(EnableShellExecuteHooks)
  [ -d "$product_unix" ] && left+=("$product")
  if [ ${#left[@]} -eq 0 ]; then
    echo "removed: the product folder, the hook's and the add-ins' keys, the hook list, EnableShellExecuteHooks"
  else
    printf 'still there: %s\n' "${left[@]}"
  fi
fi
# Ends what the requests started (wordpad stays until it is ended).
wineserver -k 2>/dev/null || true
echo
options=$(echo $keep $trace)
echo "== 64-bit Windows: both builds side by side (scripts/demo-x64.sh${options:+ $options})"
bash scripts/demo-x64.sh $keep $trace
echo
echo "== The verdicts this demo showed"
{ grep -a -o 'verdict: .*' "$demo_log" || true; } | tr -d '\r' | sort | uniq -c | sort -rn
rm -f "$demo_log"
