#!/bin/bash
# Times velin-sign's batch against `openssl cms -sign` with the same key on a SoftHSM token:
#   1. COUNT documents of KB kilobytes signed by the batch (one signer, the PIN given once, each
#      document read, signed with the token's key and written as FILE.p7m), against openssl run
#      COUNT times through libp11's PKCS#11 engine (package libengine-pkcs11-openssl);
#   2. one document of BIG megabytes: the batch's peak resident memory against the document's size;
#   3. COUNT electronic invoices (tests/fixtures/invoice/fattura-v12.xml) signed as XAdES in place.
# Run by hand:
#     tests/bench/sign-bench.sh [BUILD_FOLDER] [COUNT] [KB] [BIG_MB]
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$repo/build}
count=${2:-100}
kilobytes=${3:-100}
big=${4:-1024}
module=/usr/lib/softhsm/libsofthsm2.so
engine=$(find /usr/lib -path '*engines-3/pkcs11.so' -print -quit)
pki=$repo/tests/fixtures/pki
[ -f "$module" ] || { echo "SoftHSM is missing (package softhsm2)" >&2; exit 1; }
[ -n "$engine" ] || { echo "the PKCS#11 engine is missing (package libengine-pkcs11-openssl)" >&2; exit 1; }
ninja -C "$build" sign_batch_tool >/dev/null
tool=$(find "$build" -name sign_batch_tool -type f -perm -u+x -print -quit)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
label="Lettore bench"
pin=12345

# The token: the legal test signer's key and certificate.
mkdir -p "$work/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/tokens" > "$work/softhsm2.conf"
export SOFTHSM2_CONF=$work/softhsm2.conf
softhsm2-util --init-token --free --label "$label" --so-pin 12345678 --pin $pin >/dev/null
openssl pkcs8 -topk8 -nocrypt -in "$pki/signer-legal.key.pem" -outform DER -out "$work/key.p8"
openssl pkey -in "$pki/signer-legal.key.pem" -pubout -outform DER -out "$work/key.pub"
openssl x509 -in "$pki/signer-legal.cert.pem" -outform DER -out "$work/cert.der"
p11() { pkcs11-tool --module "$module" --token-label "$label" --login --pin $pin "$@" >/dev/null; }
p11 --write-object "$work/key.p8" --type privkey --id 01 --label signer --usage-sign
p11 --write-object "$work/key.pub" --type pubkey --id 01 --label signer
p11 --write-object "$work/cert.der" --type cert --id 01 --label signer

cat > "$work/openssl.cnf" <<CNF
openssl_conf = conf
[conf]
engines = engines
[engines]
pkcs11 = pkcs11_section
[pkcs11_section]
engine_id = pkcs11
dynamic_path = $engine
MODULE_PATH = $module
init = 0
CNF

mkdir -p "$work/ours" "$work/openssl"
for i in $(seq -w 1 "$count"); do
    head -c $((kilobytes * 1024)) /dev/urandom > "$work/ours/doc$i.bin"
done
cp "$work"/ours/*.bin "$work/openssl/"

now() { date +%s.%N; }
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
started=$(now)
"$tool" "$module" "$label" $pin "$work"/ours/*.bin
ours=$(echo "$(now) - $started" | bc)
started=$(now)
for document in "$work"/openssl/*.bin; do
    OPENSSL_CONF=$work/openssl.cnf openssl cms -sign -binary -nodetach -md sha256 -outform DER \
        -engine pkcs11 -keyform engine -inkey "pkcs11:token=Lettore%20bench;object=signer;type=private;pin-value=$pin" \
        -signer "$pki/signer-legal.cert.pem" -in "$document" -out "$document.p7m" 2>/dev/null
done
theirs=$(echo "$(now) - $started" | bc)
printf '%d documents of %d KB: velin batch %.2f s, openssl cms -sign x%d %.2f s, ratio %.2f\n' \
    "$count" "$kilobytes" "$ours" "$count" "$theirs" "$(echo "$ours / $theirs" | bc -l)"

mkdir -p "$work/invoices"
for i in $(seq -w 1 "$count"); do
    cp "$repo/tests/fixtures/invoice/fattura-v12.xml" "$work/invoices/IT01234567890_$i.xml"
done
line=$("$tool" --xades "$module" "$label" $pin "$work"/invoices/*.xml)
seconds=$(echo "$line" | sed -n 's/.*seconds \([0-9.]*\).*/\1/p')
printf '%d invoices as XAdES after the PIN: %.2f s, %.1f ms each (%s)\n' "$count" "$seconds" \
    "$(echo "$seconds * 1000 / $count" | bc -l)" "$line"

rm -rf "$work/ours" "$work/openssl" "$work/invoices"
mkdir -p "$work/big"
head -c $((big * 1024 * 1024)) /dev/urandom > "$work/big/document.bin"
line=$("$tool" "$module" "$label" $pin "$work/big/document.bin")
echo "$line"
peak=$(echo "$line" | sed -n 's/.*peak_kib \([0-9]*\).*/\1/p')
printf '%d MB document: peak resident %.0f MB, %.3f x the document\n' "$big" "$(echo "$peak / 1024" | bc -l)" \
    "$(echo "$peak / ($big * 1024)" | bc -l)"
