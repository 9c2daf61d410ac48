#!/usr/bin/env bash
# Builds the package:  build-msi.sh WXS BIN_DIR VERSION OUTPUT
# wixl 0.101 knows no Condition element, writes SecureCustomProperties itself
# and makes rollback actions immediate: the condition that makes the hook
# policy value optional, the public properties that an administrator may pass
# (secure, so that they reach the server side of a managed install) and the
# rollback actions' type are put into the tables afterwards.
set -euo pipefail
wxs=$1
bin=$2
version=$3
output=$4
# wixl takes File sources relative to the current folder only.
(cd "$bin" && wixl -a x86 -D Version="$version" -D BinDir=. -o "$output.tmp" "$wxs")
msibuild "$output.tmp" -q "UPDATE \`Component\` SET \`Condition\` = 'ENABLESHELLEXECUTEHOOKS = \"1\"' WHERE \`Component\` = 'HookPolicy'"
secure=$(msiinfo export "$output.tmp" Property | tr -d '\r' | awk -F'\t' '$1=="SecureCustomProperties"{print $2}')
msibuild "$output.tmp" -q "UPDATE \`Property\` SET \`Value\` = '${secure:+$secure;}ENABLESHELLEXECUTEHOOKS;COMPANYPOLICY' WHERE \`Property\` = 'SecureCustomProperties'"
# A deferred rollback action without impersonation that runs a program named
# by a property and ignores its exit code: 50 + 64 + 256 + 1024 + 2048.
for action in RollbackHook RollbackWordAddin RollbackPowerPointAddin RollbackExcelAddin RollbackCompanyPolicy; do
  msibuild "$output.tmp" -q "UPDATE \`CustomAction\` SET \`Type\` = 3442 WHERE \`Action\` = '$action'"
done
mv "$output.tmp" "$output"
