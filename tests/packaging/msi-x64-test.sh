#!/usr/bin/env bash
# The x64 package under Wine's 64-bit msiexec in a fresh 64-bit prefix: both
# builds installed side by side, each hook and its add-ins registered in its
# own registry view, one company policy; each build's host gets the hook's
# answer and each build's check passes; ENABLESHELLEXECUTEHOOKS=0 leaves the
# policy value alone; each uninstall leaves registry and files as before.
#   msi-x64-test.sh BIN_DIR X86_BIN_DIR PREFIX   (BIN_DIR: the x64 build's, with the package)
set -uo pipefail
bin=$1
x86_bin=$2
export WINEPREFIX=$3 WINEARCH=win64
wine=/usr/lib/wine/wine64
source "$(dirname "$0")/msi-lib.sh"

msi=$(winpath "$bin/lumidex-x64.msi")
product_unix="$WINEPREFIX/drive_c/Program Files (x86)/Korvane/Lumidex"
product='C:\Program Files (x86)\Korvane\Lumidex'
reg64='C:\windows\system32\reg.exe'
reg32='C:\windows\syswow64\reg.exe'
hook_clsid='{3B0F4085-0A5D-4E5C-92C9-CA3454D3285D}'
hooks_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\ShellExecuteHooks'
policy_key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Policies\Explorer'

snapshot before

# ---- install, with a sealed company policy ---------------------------------------
seal_policy company.ccf "$bin/ciphertool.exe" CompanyID=TEST-0064 vmcheck.exe=vmplugin.dll
timed msiexec /i "$msi" /qn COMPANYPOLICY="$(winpath "$scratch/company.ccf")" \
  && pass "msiexec /i" || fail "msiexec /i exit $?"
for f in vormidmgr.dll cipher.dll vormidmgr.exe vmplugin.dll quorix01.dll quorix02.dll quorix03.dll \
         shellexec.exe tracewatch.exe ciphertool.exe addinhost.exe vmcheck.exe; do
  cmp -s "$x86_bin/$f" "$product_unix/$f" || fail "not installed from the 32-bit build: $f"
  cmp -s "$bin/$f" "$product_unix/x64/$f" || fail "not installed from the x64 build: x64\\$f"
done
cmp -s "$scratch/company.ccf" "$product_unix/company.ccf" || fail "company.ccf is not the given policy file"
[ ! -e "$product_unix/x64/company.ccf" ] || fail "a second company.ccf in the x64 folder"

# ---- each build's check: its own view's registration, the one policy file --------
#   check_build NAME VMCHECK EXPECTED_HOOK_MODULE
check_build() {
  local out status
  out=$(run "$2"); status=$?
  echo "$out" | sed 's/^/  /'
  [ $status -eq 0 ] && [ "$(echo "$out" | grep -c '^OK ')" -ge 16 ] \
    && pass "vmcheck of the $1 build on the installed prefix" || fail "$1 vmcheck exit $status"
  echo "$out" | grep -qF "OK hook class: class $hook_clsid is served by $3" \
    || fail "the $1 view's hook class is not served by $3"
  echo "$out" | grep -qF "OK policy file: $product\\company.ccf is valid" \
    || fail "the $1 build does not read the product folder's company.ccf"
}
check_build 32-bit "$product\\vmcheck.exe" "$product\\vormidmgr.dll"
check_build x64 "$product\\x64\\vmcheck.exe" "$product\\x64\\vormidmgr.dll"

# ---- a product file changed after signing: the x64 build's check names it ------
launcher64="$product_unix/x64/vormidmgr.exe"
cp "$launcher64" "$scratch/vormidmgr64.signed"
printf 'X' | dd of="$launcher64" bs=1 seek=$(( $(stat -c %s "$launcher64") / 2 )) conv=notrunc 2>/dev/null
out=$(run "$product\\x64\\vmcheck.exe"); status=$?
[ $status -eq 1 ] && echo "$out" | grep -q '^FAIL signature vormidmgr.exe: .*changed after it was signed.*Fix: repair' \
  && pass "the x64 vmcheck names a launcher changed after signing" \
  || { fail "the x64 vmcheck on a changed launcher (exit $status):"; echo "$out" | sed 's/^/    /'; }
cp "$scratch/vormidmgr64.signed" "$launcher64"

# ---- each host gets the hook's answer; the application is of the other bitness ---
#   expect_answer HOST APPLICATION
expect_answer() {
  local answer
  answer=$(run "$1" --no-fallback --verb open "$2")
  echo "$answer" | sed 's/^/  /'
  echo "$answer" | grep -q "^hook $hook_clsid -> S_OK\$" && echo "$answer" | grep -q '^hInstApp=44$' \
    && pass "$1 got the hook's answer for $2" || fail "$1: the hook did not take the request for $2"
}
expect_answer "$product\\x64\\shellexec.exe" "$product\\vmcheck.exe"
expect_answer "$product\\shellexec.exe" "$product\\x64\\vmcheck.exe"

# ---- each build's vmcheck writes the control table of both views ------------------
table='HKLM\SOFTWARE\Korvane\Lumidex\FileExts'
run "$product\\vmcheck.exe" --control-table add .vm32 4 notepad.exe >/dev/null
run "$product\\x64\\vmcheck.exe" --control-table add .vm64 4 notepad.exe >/dev/null
run "$reg32" query "$table\\.vm32" >/dev/null && run "$reg64" query "$table\\.vm32" >/dev/null \
  && run "$reg64" query "$table\\.vm64" >/dev/null && run "$reg32" query "$table\\.vm64" >/dev/null \
  && pass "each vmcheck writes the control table of both views" || fail "a vmcheck left a view out"
run "$product\\vmcheck.exe" --control-table remove .vm64 >/dev/null || fail "vmcheck could not remove .vm64"
run "$product\\x64\\vmcheck.exe" --control-table remove .vm32 >/dev/null || fail "vmcheck could not remove .vm32"

run msiexec /x "$msi" /qn && pass "msiexec /x" || fail "msiexec /x exit $?"
snapshot after
compare_with_before after "the uninstall" ''

# ---- ENABLESHELLEXECUTEHOOKS=0 leaves the policy value unset in both views -------
run msiexec /i "$msi" /qn ENABLESHELLEXECUTEHOOKS=0 && pass "msiexec /i ENABLESHELLEXECUTEHOOKS=0" \
  || fail "msiexec /i ENABLESHELLEXECUTEHOOKS=0 exit $?"
for reg in "$reg64" "$reg32"; do
  run "$reg" query "$hooks_key" /v "$hook_clsid" >/dev/null || fail "$reg: the hook is not listed"
  run "$reg" query "$policy_key" /v EnableShellExecuteHooks >/dev/null \
    && fail "$reg: EnableShellExecuteHooks set although ENABLESHELLEXECUTEHOOKS=0"
done
# This installation has no company.ccf: its removal has nothing to say.
out=$(run msiexec /x "$msi" /qn) && [ -z "$out" ] && pass "msiexec /x without a policy file, quietly" \
  || fail "msiexec /x exit $?: $out"
snapshot after0
compare_with_before after0 "the uninstall of the install without policy value" ''

echo "$failures failure(s)"
[ $failures -eq 0 ]
