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

# ---- a failed install leaves nothing: the policy file named does not exist ------
run msiexec /i "$(winpath "$bin/lumidex.msi")" /qn COMPANYPOLICY="$(winpath "$scratch/missing.ccf")" >/dev/null \
  && fail "msiexec /i with a missing policy file succeeded" || pass "msiexec /i with a missing policy file failed"
snapshot rolledback
# Wine's msiexec keeps the emptied records of the components it rolled back.
compare_with_before rolledback "the failed install" \
  '|^> HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData\\S-1-5-18\\Components\\[0-9A-F]{32}$'

# ---- install, with a sealed company policy -------------------------------------
seal_policy company.ccf "$bin/ciphertool.exe" CompanyID=TEST-0001 vmcheck.exe=vmplugin.dll

timed msiexec /i "$(winpath "$bin/lumidex.msi")" /qn COMPANYPOLICY="$(winpath "$scratch/company.ccf")" \
  && pass "msiexec /i" || fail "msiexec /i exit $?"
for f in vormidmgr.dll cipher.dll vormidmgr.exe vmplugin.dll quorix01.dll quorix02.dll quorix03.dll \
         shellexec.exe tracewatch.exe ciphertool.exe addinhost.exe vmcheck.exe company.ccf; do
  [ -f "$product_unix/$f" ] || fail "not installed: $f"
done
cmp -s "$scratch/company.ccf" "$product_unix/company.ccf" || fail "company.ccf is not the given policy file"

check=$(run "$product\\vmcheck.exe"); status=$?
echo "$check" | sed 's/^/  /'
[ $status -eq 0 ] && pass "vmcheck on the installed prefix" || fail "vmcheck exit $status on a healthy install"
[ "$(echo "$check" | grep -c '^OK ')" -ge 16 ] || fail "vmcheck ran fewer checks than expected"
[ "$(echo "$check" | tail -n 1 | tr -d '\r')" = "summary: all checks passed" ] || fail "vmcheck's summary on a healthy install"

# ---- the hook answers: vmcheck.exe is under control with the sample plug-in -----
answer=$(run "$product\\shellexec.exe" --no-fallback --verb open "$product\\vmcheck.exe")
echo "$answer" | sed 's/^/  /'
echo "$answer" | grep -q '^hook {3B0F4085-0A5D-4E5C-92C9-CA3454D3285D} -> S_OK$' && echo "$answer" | grep -q '^hInstApp=44$' \
  && pass "the installed hook took the request to the launcher" || fail "the hook did not take the request"

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

# each row: what breaks | the FAIL line it must give | how it breaks | how it mends
rows=(
  "hook class unregistered|FAIL hook class: |run reg delete 'HKCR\\CLSID\\$hook_clsid' /f|register vormidmgr.dll"
  "hook module missing|FAIL hook module: |hide vormidmgr.dll|unhide vormidmgr.dll"
  "hook not listed|FAIL shell-execute hook list: |run reg delete '$hooks_key' /v '$hook_clsid' /f|register vormidmgr.dll"
  "policy value off|FAIL hook policy value: |run reg add '$policy_key' /v EnableShellExecuteHooks /t REG_DWORD /d 0 /f|run reg add '$policy_key' /v EnableShellExecuteHooks /t REG_DWORD /d 1 /f"
  "cipher.dll missing|FAIL cipher.dll: |hide cipher.dll|unhide cipher.dll"
  "policy file missing|FAIL policy file: .* missing or unreadable|hide company.ccf|unhide company.ccf"
  "policy file tampered|FAIL policy file: .*checksum|keep_policy; sed -i 's/TEST-0001/TEST-0002/' \"\$product_unix/company.ccf\"|restore_policy"
  "no company id|FAIL company id: |keep_policy; reseal 'vmcheck.exe=vmplugin.dll'|restore_policy"
  "plug-in missing|FAIL plug-in vmplugin.dll: |hide vmplugin.dll|unhide vmplugin.dll"
  "trusted folder users write to|FAIL trusted folder .*: it lies in a user profile|keep_policy; reseal CompanyID=TEST-0001 vmcheck.exe=vmplugin.dll 'TrustedFolders=C:\users\Public'|restore_policy"
  "trusted folder not a full path|FAIL trusted folder apps: not a full path|keep_policy; reseal CompanyID=TEST-0001 vmcheck.exe=vmplugin.dll 'TrustedFolders=C:\windows;apps'|restore_policy"
  "launcher missing|FAIL launcher: |hide vormidmgr.exe|unhide vormidmgr.exe"
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
hide company.ccf
out=$(run "$product\\vmcheck.exe")
echo "$out" | tail -n 1 | grep -q '^summary: protection is OFF' \
  && pass "vmcheck says protection is off without a policy" || fail "vmcheck's summary without a policy: $out"
unhide company.ccf

# ---- a newer package upgrades in place; this one leaves the policy value off ----
version=$(msiinfo export "$bin/lumidex.msi" Property | tr -d '\r' | awk -F'\t' '$1=="ProductVersion"{print $2}')
next=$(echo "$version" | awk -F. '{print $1"."$2"."$3+1}')
bash "$(dirname "$wxs")/build-msi.sh" "$wxs" "$next" "$scratch/lumidex-next.msi" x86 "$bin" \
  || fail "wixl could not build version $next"
# Wine's msiexec removes the older product without UPGRADINGPRODUCTCODE, so the
# package's removal of company.ccf (kept on Windows during an upgrade) runs:
# the upgrade is given the policy again, a newer one, as the README advises.
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
