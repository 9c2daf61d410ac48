#!/usr/bin/env bash
# Builds a package:  build-msi.sh WXS VERSION OUTPUT ARCH X86_BIN_DIR [X64_BIN_DIR]
# ARCH is x86 (lumidex.wxs, the 32-bit build) or x64 (lumidex-x64.wxs, both
# builds). wixl takes File sources relative to the current folder only: it runs
# in a folder of its own where x86 and x64 lead to the builds' binaries.
# wixl 0.101 knows no Condition element and makes rollback and commit actions
# immediate: the condition that makes the hook policy value optional and the
# rollback and commit actions' types are put into the tables afterwards.
# Neither public property is made secure: a standard user allowed an elevated
# install (advertised, AlwaysInstallElevated) must not choose the policy file
# or leave the hook policy off; an administrator's own command line passes
# both (see docs/admin.md).
set -euo pipefail
wxs=$(realpath "$1")
version=$2
output=$(realpath -m "$3")
arch=$4
stage=$output.stage
rm -rf "$stage"
mkdir -p "$stage"
trap 'rm -rf "$stage"' EXIT
ln -s "$(realpath "$5")" "$stage/x86"
[ $# -lt 6 ] || ln -s "$(realpath "$6")" "$stage/x64"
(cd "$stage" && wixl -a "$arch" -D Version="$version" -I "$(dirname "$wxs")" -o "$output.tmp" "$wxs")

# The names in the first column of a table whose names start with $2.
names() { msiinfo export "$output.tmp" "$1" | tr -d '\r' | awk -F'\t' -v p="$2" 'NR > 3 && index($1, p) == 1 {print $1}'; }
# Every view's policy value component (HookPolicy, x64HookPolicy).
for component in $(names Component HookPolicy) $(names Component x64HookPolicy); do
  msibuild "$output.tmp" -q "UPDATE \`Component\` SET \`Condition\` = 'ENABLESHELLEXECUTEHOOKS = \"1\"' WHERE \`Component\` = '$component'"
done
# A deferred rollback action without impersonation that runs a program named
# by a property and ignores its exit code: 50 + 64 + 256 + 1024 + 2048.
for action in $(names CustomAction Rollback) $(names CustomAction x64Rollback); do
  msibuild "$output.tmp" -q "UPDATE \`CustomAction\` SET \`Type\` = 3442 WHERE \`Action\` = '$action'"
done
# The same as a commit action: 50 + 64 + 512 + 1024 + 2048.
for action in $(names CustomAction Commit); do
  msibuild "$output.tmp" -q "UPDATE \`CustomAction\` SET \`Type\` = 3698 WHERE \`Action\` = '$action'"
done
# An action written as Property="PolicyTool" runs the Binary of that name:
# its type loses the property source (48), keeping the program and its
# scheduling flags (50 becomes 2, a deferred action without impersonation
# 3122 becomes 3074).
msiinfo export "$output.tmp" CustomAction | tr -d '\r' | awk -F'\t' 'NR > 3 && $3 == "PolicyTool" {print $1, $2}' |
  while read -r action type; do
    msibuild "$output.tmp" -q "UPDATE \`CustomAction\` SET \`Type\` = $((type - 48)) WHERE \`Action\` = '$action'"
  done
mv "$output.tmp" "$output"
