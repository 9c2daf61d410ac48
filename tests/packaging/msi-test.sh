#!/usr/bin/env bash
# The package as an administrator uses it, under Wine's msiexec in a fresh
# prefix: install with a company policy, the hook answers a request, the check
# passes and names each breakage, Office's add-ins load, a newer package
# upgrades in place, and the uninstall leaves registry and files as before.
#   msi-test.sh BIN_DIR PREFIX WXS
set -uo pipefail
bin=$1
prefix=$2
wxs=$3
export WINEPREFIX=$prefix WINEARCH=win32
source "$(dirname "$0")/msi-lib.sh"

product_unix="$prefix/drive_c/Program Files/Korvane/Lumidex"
product='C:\Program Files\Korvane\Lumidex'

snapshot before

# Neither public property is secure: a standard user's elevated install cannot set them.
secure=$(msiinfo export "$bin/lumidex.msi" Property | tr -d '\r' | awk -F'\t' '$1=="SecureCustomProperties"{print $2}')
echo ";$secure;" | grep -Eq ';(COMPANYPOLICY|ENABLESHELLEXECUTEHOOKS);' \
  && fail "secure properties: $secure" || pass "no public property of ours is secure"

# ---- a failed install leaves nothing but the company.ccf it found -----------------
seal_policy company.ccf "$bin/ciphertool.exe" CompanyID=TEST-0001 vmcheck.exe=vmplugin.dll
sed 's/TEST-0001/TEST-0009/' "$scratch/company.ccf" >"$scratch/tampered.ccf"
# A value holding a double quote, which a command interpreter would have run as
# a command of its own; the command line cannot carry it, the package can.
marker='C:\windows\temp\policy-ran.txt'
cp "$bin/lumidex.msi" "$scratch/quoted.msi"
msibuild "$scratch/quoted.msi" -q "INSERT INTO \`Property\` (\`Property\`, \`Value\`) VALUES ('COMPANYPOLICY', '$(winpath "$scratch/company.ccf")\" & echo ran > \"$marker\" & rem \"')"
# The same package with a step that fails at SEQUENCE, so that it rolls back.
#   failing_package NAME SEQUENCE
failing_package() {
  cp "$bin/lumidex.msi" "$scratch/$1"
  msibuild "$scratch/$1" -q "INSERT INTO \`CustomAction\` (\`Action\`, \`Type\`, \`Source\`, \`Target\`) VALUES ('FailHere', 3122, 'REGSVR32', '/s \"C:\\missing.dll\"')"
  msibuild "$scratch/$1" -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('FailHere', $2)"
}
# Failing right after the policy's copy, before anything is registered:
# Wine's rollback deletes the files before its regsvr32 /u could run.
failing_package failing-copy.msi 4005
# A policy file already in the product folder, as a major upgrade on Windows
# finds the older product's (Wine's msiexec has deleted it by then).
seal_policy earlier.ccf "$bin/ciphertool.exe" CompanyID=TEST-0004 vmcheck.exe=vmplugin.dll
mkdir -p "$product_unix" && cp "$scratch/earlier.ccf" "$product_unix/company.ccf"
# each row: what is wrong | the package | its COMPANYPOLICY argument
failed_rows=(
  "a missing policy file|$bin/lumidex.msi|COMPANYPOLICY=$(winpath "$scratch/missing.ccf")"
  "a policy file with a wrong checksum|$bin/lumidex.msi|COMPANYPOLICY=$(winpath "$scratch/tampered.ccf")"
  "a value holding a double quote|$scratch/quoted.msi|"
  "a step failing after the policy's copy|$scratch/failing-copy.msi|COMPANYPOLICY=$(winpath "$scratch/company.ccf")"
)
for row in "${failed_rows[@]}"; do
  IFS='|' read -r what package argument <<<"$row"
  run msiexec /i "$(winpath "$package")" /qn $argument >/dev/null \
    && fail "msiexec /i with $what succeeded" || pass "msiexec /i with $what failed"
  cmp -s "$scratch/earlier.ccf" "$product_unix/company.ccf" && [ ! -e "$product_unix/company.ccf.rollback" ] \
    || fail "msiexec /i with $what did not leave the company.ccf it found"
done
[ ! -e "$prefix/drive_c/windows/temp/policy-ran.txt" ] || fail "the quoted COMPANYPOLICY ran a command"
rm -f "$product_unix/company.ccf"
rmdir "$product_unix" "$(dirname "$product_unix")"
snapshot rolledback
# Wine's msiexec keeps the emptied records of the components it rolled back.
compare_with_before rolledback "the failed install" \
  '|^> HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components\\[0-9A-F]{32}$'

# ---- install, with a sealed company policy -------------------------------------

# Over an earlier product's policy, as a major upgrade on Windows finds it.
mkdir -p "$product_unix" && cp "$scratch/earlier.ccf" "$product_unix/company.ccf"
timed msiexec /i "$(winpath "$bin/lumidex.msi")" /qn COMPANYPOLICY="$(winpath "$scratch/company.ccf")" \
  && pass "msiexec /i" || fail "msiexec /i exit $?"
for f in vormidmgr.dll cipher.dll vormidmgr.exe vmplugin.dll quorix01.dll quorix02.dll quorix03.dll \
         shellexec.exe tracewatch.exe ciphertool.exe addinhost.exe vmcheck.exe company.ccf; do
  [ -f "$product_unix/$f" ] || fail "not installed: $f"
done
cmp -s "$scratch/company.ccf" "$product_unix/company.ccf" || fail "company.ccf is not the given policy file"
[ ! -e "$product_unix/company.ccf.rollback" ] || fail "the install left the copy of the earlier policy"

check=$(run "$product\\vmcheck.exe"); status=$?
echo "$check" | sed 's/^/  /'
[ $status -eq 0 ] && pass "vmcheck on the installed prefix" || fail "vmcheck exit $status on a healthy install"
[ "$(echo "$check" | grep -c '^OK ')" -ge 16 ] || fail "vmcheck ran fewer checks than expected"
[ "$(echo "$check" | tail -n 1 | tr -d '\r')" = "summary: all checks passed" ] || fail "vmcheck's summary on a healthy install"
# A controlled application whose registered command carries a switch the
# launcher leaves out: a warning, not a failure.
run reg add 'HKCR\.vmsw' /ve /d VmSw.Document /f >/dev/null
run reg add 'HKCR\VmSw.Document\shell\open\command' /ve /d "\"$product\\vmcheck.exe\" /p \"%1\"" /f >/dev/null
check=$(run "$product\\vmcheck.exe"); status=$?
echo "$check" | grep -q "^WARN switches .vmsw: vmcheck.exe is controlled, and its documents open without the registered command's /p" \
  && [ $status -eq 0 ] && pass "vmcheck warns of a controlled command's left-out switch" \
  || { fail "vmcheck on a controlled command with a switch (exit $status):"; echo "$check" | sed 's/^/    /'; }
run reg delete 'HKCR\.vmsw' /f >/dev/null; run reg delete 'HKCR\VmSw.Document' /f >/dev/null

# ---- the hook answers: vmcheck.exe is under control with the sample plug-in -----
answer=$(run "$product\\shellexec.exe" --no-fallback --verb open "$product\\vmcheck.exe")
echo "$answer" | sed 's/^/  /'
echo "$answer" | grep -q '^hook {3B0F4085-0A5D-4E5C-92C9-CA3454D3285D} -> S_OK$' && echo "$answer" | grep -q '^hInstApp=44$' \
  && pass "the installed hook took the request to the launcher" || fail "the hook did not take the request"

# ---- the audit trail: a controlled start and a refusal leave events naming the file --
# Wine's event log prints each event on its eventlog channel: the call with
# type (4 information, 2 warning) and id, then one line per insert.
audited() { WINEDEBUG=fixme+advapi,warn+eventlog,trace+eventlog run "$product\\shellexec.exe" --no-fallback "$@"; }
# each row: what | type,category,id as printed | the insert line's level | shellexec arguments
audit_rows=(
  "a controlled start|0x0004,0x0000,0x00000064|trace|--verb open"
  "a refusal (the launcher's mark in the parameters)|0x0002,0x0000,0x000000c8|warn|--verb open --params /D:x"
)
for row in "${audit_rows[@]}"; do
  IFS='|' read -r what call level arguments <<<"$row"
  out=$(audited $arguments "$product\\vmcheck.exe")
  if echo "$out" | grep -q "advapi:ReportEventW ([^,]*,$call," && echo "$out" | grep -q "^[0-9a-f]*:$level:eventlog:ReportEventW L\".*vmcheck.exe"; then
    pass "an event for $what, naming vmcheck.exe"
  else
    fail "no event for $what:"; echo "$out" | grep -i event | sed 's/^/    /'
  fi
done

# ---- Office loads the add-ins that the package registered -----------------------
for app in Word PowerPoint Excel; do
  out=$(run "$product\\addinhost.exe" "$app") && echo "$out" | grep -q ': connected to '"$app"'$' \
    && pass "addinhost $app" || fail "addinhost $app: $out"
done

# ---- the check names each breakage ----------------------------------------------
hook_clsid='{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}'
hooks_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\ShellExecuteHooks'
policy_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Policies\Explorer'
excel_clsid=$(run reg query 'HKCR\Quorix03.ExcelAddIn\CLSID' /ve | grep -o '{[^}]*}')
hide() { mv "$product_unix/$1" "$scratch/$1.hidden"; }
unhide() { mv "$scratch/$1.hidden" "$product_unix/$1"; }
reseal() { printf '%s\n' "$@" >"$scratch/other.txt"
           run "$product\\ciphertool.exe" seal "$(winpath "$scratch/other.txt")" "$product\\company.ccf" >/dev/null; }
keep_policy() { cp "$product_unix/company.ccf" "$scratch/kept.ccf"; }
restore_policy() { cp "$scratch/kept.ccf" "$product_unix/company.ccf"; }
register() { run regsvr32 /s "$product\\$1" >/dev/null; }
# One byte in the middle of a signed file changed, as a patch or a copy gone wrong would.
flip_byte() { hide "$1"; cp "$scratch/$1.hidden" "$product_unix/$1"
              printf 'X' | dd of="$product_unix/$1" bs=1 seek=$(( $(stat -c %s "$product_unix/$1") / 2 )) conv=notrunc 2>/dev/null; }
unflip() { rm -f "$product_unix/$1"; unhide "$1"; }

# each row: what breaks | the FAIL line it must give | how it breaks | how it mends
# (a fresh prefix has no HKCU\Software\Classes)
rows=(
  "hook class unregistered|FAIL hook class: |run reg delete 'HKCR\\CLSID\\$hook_clsid' /f|register vormidmgr.dll"
  "hook module missing|FAIL hook module: |hide vormidmgr.dll|unhide vormidmgr.dll"
  "hook class registered per user|FAIL hook class per user: .*C:\\\\other\\.dll|run reg add 'HKCU\\Software\\Classes\\CLSID\\$hook_clsid\\InprocServer32' /ve /d 'C:\\other.dll' /f|run reg delete 'HKCU\\Software\\Classes' /f"
  "hook not listed|FAIL shell-execute hook list: |run reg delete '$hooks_key' /v '$hook_clsid' /f|register vormidmgr.dll"
  "event source unregistered|FAIL event source: |run reg delete 'HKLM\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\Korvane Lumidex' /f|register vormidmgr.dll"
  "policy value off|FAIL hook policy value: |run reg add '$policy_key' /v EnableShellExecuteHooks /t REG_DWORD /d 0 /f|run reg add '$policy_key' /v EnableShellExecuteHooks /t REG_DWORD /d 1 /f"
  "cipher.dll missing|FAIL cipher.dll: |hide cipher.dll|unhide cipher.dll"
  "policy file missing|FAIL policy file: .* missing or unreadable|hide company.ccf|unhide company.ccf"
  "policy file tampered|FAIL policy file: .*checksum|keep_policy; sed -i 's/TEST-0001/TEST-0002/' \"\$product_unix/company.ccf\"|restore_policy"
  "no company id|FAIL company id: |keep_policy; reseal 'vmcheck.exe=vmplugin.dll'|restore_policy"
  "plug-in missing|FAIL plug-in vmplugin.dll: |hide vmplugin.dll|unhide vmplugin.dll"
  "trusted folder users write to|FAIL trusted folder .*: it lies in the users' profiles|keep_policy; reseal CompanyID=TEST-0001 vmcheck.exe=vmplugin.dll 'TrustedFolders=C:\users\Public'|restore_policy"
  "trusted drive root|FAIL trusted folder C:.: it is a drive's root|keep_policy; reseal CompanyID=TEST-0001 vmcheck.exe=vmplugin.dll 'TrustedFolders=C:\'|restore_policy"
  "trusted ProgramData|FAIL trusted folder .*ProgramData: it lies in ProgramData|keep_policy; reseal CompanyID=TEST-0001 vmcheck.exe=vmplugin.dll 'TrustedFolders=C:\ProgramData'|restore_policy"
  "trusted writable Windows folder|FAIL trusted folder .*dmp: it lies in a folder of the Windows folder|keep_policy; mkdir -p \"\$prefix/drive_c/windows/system32/com/dmp\"; reseal CompanyID=TEST-0001 vmcheck.exe=vmplugin.dll 'TrustedFolders=C:\windows\system32\com\dmp'|restore_policy; rmdir \"\$prefix/drive_c/windows/system32/com/dmp\"; rmdir \"\$prefix/drive_c/windows/system32/com\" 2>/dev/null || true"
  "trusted folder not a full path|FAIL trusted folder apps: not a full path|keep_policy; reseal CompanyID=TEST-0001 vmcheck.exe=vmplugin.dll 'TrustedFolders=C:\windows;apps'|restore_policy"
  "launcher missing|FAIL launcher: |hide vormidmgr.exe|unhide vormidmgr.exe"
  "launcher changed after signing|FAIL signature vormidmgr.exe: .*changed after it was signed|flip_byte vormidmgr.exe|unflip vormidmgr.exe"
  "add-in module missing|FAIL add-in module quorix02.dll: |hide quorix02.dll|unhide quorix02.dll"
  "add-in class unregistered|FAIL add-in class Quorix03.ExcelAddIn: |run reg delete 'HKCR\\CLSID\\$excel_clsid\\InprocServer32' /f|register quorix03.dll"
  "add-in failed in Office|FAIL add-in load behaviour Quorix01.Word9AddIn: .*LoadBehavior is 2|run reg add 'HKCU\\Software\\Microsoft\\Office\\Word\\Addins\\Quorix01.Word9AddIn' /v LoadBehavior /t REG_DWORD /d 2 /f|register quorix01.dll"
)
for row in "${rows[@]}"; do
  IFS='|' read -r what expected breaking mending <<<"$row"
  eval "$breaking" >/dev/null
  out=$(run "$product\\vmcheck.exe"); status=$?
  if [ $status -eq 1 ] && echo "$out" | grep -q "^$expected" && echo "$out" | grep "^$expected" | grep -q '\. Fix: .'; then
    pass "vmcheck names: $what"
  else
    fail "vmcheck on '$what' (exit $status):"; echo "$out" | sed 's/^/    /'
  fi
  eval "$mending" >/dev/null
  run "$product\\vmcheck.exe" >/dev/null || fail "not mended after '$what'"
done
# What ciphertool's lint says of the installed policy, vmcheck says too.
keep_policy; reseal CompanyID=TEST-0001 vmcheck.exe=vmplugin.dll 'TrustedFolder=C:\Apps'
check=$(run "$product\\vmcheck.exe")
echo "$check" | grep -q "^WARN policy line 4: TrustedFolder is no setting and no program: did you mean TrustedFolders?" \
  && pass "vmcheck says what the policy lint says" || { fail "vmcheck without the lint's warning:"; echo "$check" | sed 's/^/    /'; }
restore_policy
hide company.ccf
out=$(run "$product\\vmcheck.exe")
echo "$out" | tail -n 1 | grep -q '^summary: protection is OFF' \
  && pass "vmcheck says protection is off without a policy" || fail "vmcheck's summary without a policy: $out"
unhide company.ccf

# ---- a repair never replaces the installed policy, nor does its rollback delete it
seal_policy other.ccf "$bin/ciphertool.exe" CompanyID=TEST-0003 vmcheck.exe=vmplugin.dll
run msiexec /i "$(winpath "$bin/lumidex.msi")" /qn REINSTALL=ALL REINSTALLMODE=vomus COMPANYPOLICY="$(winpath "$scratch/other.ccf")" \
  && pass "msiexec /i REINSTALL=ALL with another policy" || fail "reinstall exit $?"
cmp -s "$scratch/company.ccf" "$product_unix/company.ccf" && pass "the reinstall kept the installed policy" \
  || fail "the reinstall replaced company.ccf"
# A last step that fails, so that the repair rolls back.
failing_package failing.msi 6590
run msiexec /i "$(winpath "$scratch/failing.msi")" /qn REINSTALL=ALL REINSTALLMODE=vomus COMPANYPOLICY="$(winpath "$scratch/other.ccf")" \
  && fail "the failing repair succeeded" || pass "the failing repair failed"
cmp -s "$scratch/company.ccf" "$product_unix/company.ccf" && pass "the failed repair kept the installed policy" \
  || fail "the failed repair replaced or deleted company.ccf"
run msiexec /i "$(winpath "$bin/lumidex.msi")" /qn REINSTALL=ALL REINSTALLMODE=vomus >/dev/null || fail "repair exit $?"
run "$product\\vmcheck.exe" >/dev/null && pass "vmcheck after the repairs" || fail "vmcheck fails after the repairs"

# ---- a newer package upgrades in place; this one leaves the policy value off ----
version=$(msiinfo export "$bin/lumidex.msi" Property | tr -d '\r' | awk -F'\t' '$1=="ProductVersion"{print $2}')
next=$(echo "$version" | awk -F. '{print $1"."$2"."$3+1}')
bash "$(dirname "$wxs")/build-msi.sh" "$wxs" "$next" "$scratch/lumidex-next.msi" x86 "$bin" \
  || fail "wixl could not build version $next"
# Wine's msiexec removes the older product without UPGRADINGPRODUCTCODE, so the
# package's removal of company.ccf (kept on Windows during an upgrade) runs:
# the upgrade is given the policy again, a newer one, as docs/admin.md advises.
seal_policy company2.ccf "$bin/ciphertool.exe" CompanyID=TEST-0002 vmcheck.exe=vmplugin.dll
run msiexec /i "$(winpath "$scratch/lumidex-next.msi")" /qn ENABLESHELLEXECUTEHOOKS=0 COMPANYPOLICY="$(winpath "$scratch/company2.ccf")" \
  && pass "msiexec /i of version $next over $version" || fail "upgrade exit $?"
products=$(run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | grep -c 'DisplayName.*Korvane Lumidex')
[ "$products" = 1 ] && pass "one product after the upgrade" || fail "$products products after the upgrade"
run reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s | grep -q "DisplayVersion.*$next" \
  || fail "the installed version is not $next"
cmp -s "$scratch/company2.ccf" "$product_unix/company.ccf" || fail "the upgrade did not install the newer policy"
out=$(run "$product\\vmcheck.exe"); status=$?
[ $status -eq 1 ] && [ "$(echo "$out" | grep -c '^FAIL')" = 1 ] && echo "$out" | grep -q '^FAIL hook policy value: ' \
  && pass "ENABLESHELLEXECUTEHOOKS=0 leaves the policy value unset, all else well" || { fail "after the upgrade:"; echo "$out"; }

# ---- uninstall -------------------------------------------------------------------
run msiexec /x "$(winpath "$scratch/lumidex-next.msi")" /qn && pass "msiexec /x" || fail "msiexec /x exit $?"
snapshot after

compare_with_before after "the uninstall" ''
echo "$failures failure(s)"
[ $failures -eq 0 ]
