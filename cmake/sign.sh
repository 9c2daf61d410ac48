#!/usr/bin/env bash
# Signs a file in place:  sign.sh OSSLSIGNCODE OPTIONS_FILE FILE
# OPTIONS_FILE holds the options of `osslsigncode sign`, one to a line
# (cmake/Signing.cmake writes it). A file that cannot be signed is deleted, so
# that the build fails now and makes it again next time rather than leave an
# unsigned file that looks finished.
set -euo pipefail
osslsigncode=$1
mapfile -t options <"$2"
file=$3
signed=$file.signed
trap 'rm -f "$signed" "$signed.log"' EXIT
if ! "$osslsigncode" sign "${options[@]}" -in "$file" -out "$signed" >"$signed.log" 2>&1; then
  echo "sign.sh: could not sign $file:" >&2
  cat "$signed.log" >&2
  rm -f "$file"
  exit 1
fi
mv -f "$signed" "$file"
