# What the package tests share; sourced after setting WINEPREFIX, WINEARCH and,
# for a 64-bit prefix, wine (the 64-bit loader). Starts a fresh prefix with a
# server kept alive, a scratch folder ($scratch) and a failure count.

export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$here/../../scripts/wine-lib.sh"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

scratch=$(mktemp -d)
cleanup() {
  wineserver -k 2>/dev/null
  rm -rf "$scratch"
}
trap cleanup EXIT

wineserver -k 2>/dev/null
rm -rf "$WINEPREFIX"
"${wine:-wine}" wineboot -i >/dev/null 2>&1
wineserver -w
setsid wineserver -p60 </dev/null >/dev/null 2>&1 &

# Registry (both roots; in a 64-bit prefix both views, the 32-bit one under
# Wow6432Node) and files of the prefix, one sorted line each.
snapshot() {
  local name=$1
  run regedit /E "$(winpath "$scratch/$name-hklm.reg")" HKEY_LOCAL_MACHINE >/dev/null
  run regedit /E "$(winpath "$scratch/$name-hkcu.reg")" HKEY_CURRENT_USER >/dev/null
  python3 "$here/regdump.py" "$scratch/$name-hklm.reg" "$scratch/$name-hkcu.reg" >"$scratch/$name.registry"
  (cd "$WINEPREFIX/drive_c" && find . | sort) >"$scratch/$name.files"
}
# What stays, and why:
#  - the hook's upkeep makes the user's Office security keys (9.0 to 12.0) on every
#    request, as the hook must; they are the user's, not the package's;
#  - Wine's msiexec keeps its bookkeeping keys (Installer, emptied) and the empty
#    folder C:\windows\Installer;
#  - Wine makes a display-driver key the first time a program asks for a window
#    station (COM does, in shellexec and addinhost);
#  - Wine's service manager counts its own starts in ServiceCurrent: when the
#    prefix's server ends between two steps (a loaded machine), it starts again.
#  - the platform's signature check (vmcheck verifies the product's files) makes
#    the certificate stores and the user's trust-provider state the first time.
kept='^> HKEY_CURRENT_USER\\Software\\Microsoft\\Office(\\[0-9.]+(\\(Word|PowerPoint|Excel)(\\Security)?)?)?$'
kept+='|^> HKEY_LOCAL_MACHINE\\Software\\Classes\\Installer(\\(Features|Products|UpgradeCodes))?$'
kept+='|^> HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Installer\\(UpgradeCodes|UserData(\\S-1-5-18(\\(Components|Products))?)?)$'
kept+='|^> HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\Video\\'
kept+='|^[<>] HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Control\\ServiceCurrent :: @=dword:'
kept+='|^> HKEY_(CURRENT_USER|LOCAL_MACHINE)\\Software\\(Wow6432Node\\)?Microsoft\\SystemCertificates(\\|$)'
kept+='|^> HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Wintrust(\\|$)'
kept_files='^> \./windows/Installer$'

# Compares a snapshot with the one before the install, but for what stays.
#   compare_with_before NAME WHAT EXTRA_KEPT_PATTERN
compare_with_before() {
  local name=$1 what=$2 extra=$3
  diff "$scratch/before.registry" "$scratch/$name.registry" | grep '^[<>]' | grep -Ev "$kept$extra" >"$scratch/$name.registry.diff"
  diff "$scratch/before.files" "$scratch/$name.files" | grep '^[<>]' | grep -Ev "$kept_files" >"$scratch/$name.files.diff"
  if [ -s "$scratch/$name.registry.diff" ]; then
    fail "registry after $what differs from before the install:"; sed 's/^/    /' "$scratch/$name.registry.diff"
  else
    pass "registry after $what as before, but for what the platform and the hook keep"
  fi
  if [ -s "$scratch/$name.files.diff" ]; then
    fail "files after $what differ from before the install:"; sed 's/^/    /' "$scratch/$name.files.diff"
  else
    pass "files after $what as before"
  fi
}

# Seals a company policy ($1: file name in $scratch) of the given lines with
# the ciphertool $2 (a Unix path).
seal_policy() {
  local name=$1 tool=$2
  shift 2
  printf '%s\n' "$@" >"$scratch/$name.txt"
  run "$tool" seal "$(winpath "$scratch/$name.txt")" "$(winpath "$scratch/$name")" >/dev/null \
    || fail "ciphertool could not seal $name"
}

# Runs a program and says how long it took.
timed() {
  local start status
  start=$(date +%s.%N)
  run "$@" && status=0 || status=$?
  echo "$2 took $(awk "BEGIN { printf \"%.1f\", $(date +%s.%N) - $start }") s"
  return $status
}
