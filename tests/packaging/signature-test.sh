#!/usr/bin/env bash
# Every file we ship carries a valid SHA-256 Authenticode signature: the
# package, each file it packs (as packed, and as the build left it in its bin
# folder) and each program in its Binary table. `osslsigncode verify` checks
# the digest and the signature, and the chain up to the given root
# certificates (a test-signed build: its own test certificate, which is then
# the only root trusted). The check's own faults come last: files it must
# refuse.
#   signature-test.sh MSI BIN_DIR ROOTS [ROOTS...]
set -uo pipefail
msi=$1
bin=$2
shift 2
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cat "$@" >"$scratch/roots.pem"

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# Whether FILE's signature verifies against ROOTS (the given roots unless
# named) with a SHA-256 digest; the log of the last check is $scratch/verify.log.
signed() {
  osslsigncode verify -CAfile "${2:-$scratch/roots.pem}" -in "$1" >"$scratch/verify.log" 2>&1 &&
    grep -Eq '^Message digest algorithm *: SHA256' "$scratch/verify.log"
}
must_verify() {
  if signed "$1"; then
    pass "signed: $2"
  else
    fail "not validly signed: $2"; sed 's/^/    /' "$scratch/verify.log"
  fi
}

must_verify "$msi" "$(basename "$msi")"

# ---- what the package carries ------------------------------------------------
msiextract -C "$scratch/packed" "$msi" >"$scratch/packed.list" || fail "msiextract $msi"
rows=$(msiinfo export "$msi" File | tr -d '\r' | awk 'NR > 3' | wc -l)
packed=$(wc -l <"$scratch/packed.list")
[ "$packed" -gt 0 ] && [ "$packed" -eq "$rows" ] || fail "the package packs $rows files, msiextract gave $packed"
while read -r path; do
  must_verify "$scratch/packed/$path" "packed $path"
done <"$scratch/packed.list"
for stream in $(msiinfo streams "$msi" | grep '^Binary\.'); do
  msiinfo extract "$msi" "$stream" >"$scratch/$stream"
  [ "$(head -c2 "$scratch/$stream")" != MZ ] || must_verify "$scratch/$stream" "packed program $stream"
done

# ---- the build's own files -----------------------------------------------------
for name in $(sed 's|.*/||' "$scratch/packed.list" | sort -u); do
  must_verify "$bin/$name" "$bin/$name"
done

# ---- what the check must refuse --------------------------------------------------
sample=$bin/vormidmgr.dll
# One byte of the program's code: the first section's (.text), whose file
# offset the section table gives.
code=$(python3 -c '
import struct, sys
image = open(sys.argv[1], "rb").read(4096)
pe = struct.unpack_from("<I", image, 0x3c)[0]
optional_size = struct.unpack_from("<H", image, pe + 20)[0]
print(struct.unpack_from("<I", image, pe + 24 + optional_size + 20)[0] + 16)' "$sample")
cp "$sample" "$scratch/changed.dll"
byte=$(od -An -tu1 -j"$code" -N1 "$sample" | tr -d ' ')
printf "\\x$(printf %02x $((byte ^ 0xff)))" | dd of="$scratch/changed.dll" bs=1 seek="$code" conv=notrunc 2>/dev/null
osslsigncode remove-signature -in "$sample" -out "$scratch/unsigned.dll" >/dev/null
openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Someone else" \
  -addext extendedKeyUsage=codeSigning -keyout "$scratch/other.key" -out "$scratch/other.crt" 2>/dev/null
osslsigncode sign -certs "$scratch/other.crt" -key "$scratch/other.key" -h sha256 \
  -in "$scratch/unsigned.dll" -out "$scratch/other.dll" >/dev/null
osslsigncode sign -certs "$scratch/other.crt" -key "$scratch/other.key" -h sha1 \
  -in "$scratch/unsigned.dll" -out "$scratch/sha1-other.dll" >/dev/null
cp "$msi" "$scratch/changed.msi"
msibuild "$scratch/changed.msi" -q "UPDATE \`Property\` SET \`Value\` = '0' WHERE \`Property\` = 'ENABLESHELLEXECUTEHOOKS'"
cat "$scratch/roots.pem" "$scratch/other.crt" >"$scratch/with-other.pem"
# each row: the file | the roots (other: the given ones and the other certificate) | what is wrong with it
refused_rows=(
  "changed.dll||the hook with one byte of its code changed after signing"
  "unsigned.dll||the hook without its signature"
  "other.dll||the hook signed by a certificate the roots do not hold"
  "sha1-other.dll|other|the hook signed with a SHA-1 digest"
  "changed.msi||the package with a property changed after signing"
)
for row in "${refused_rows[@]}"; do
  IFS='|' read -r file roots what <<<"$row"
  if signed "$scratch/$file" ${roots:+"$scratch/with-$roots.pem"}; then
    fail "the check passed $what"
  else
    pass "the check refuses $what"
  fi
done
# The same certificate as a root: the refusals above are the roots' and the digest's.
signed "$scratch/other.dll" "$scratch/with-other.pem" && pass "the other certificate's own signature verifies against it" \
  || fail "the other certificate's own signature does not verify against it"

echo "$failures failure(s)"
[ "$failures" -eq 0 ]
