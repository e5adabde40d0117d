#!/bin/bash
# Signs COUNT documents of KB kilobytes as velin-sign's batch does after the PIN dialog (one PKCS#7
# signer, the PIN given once, each document signed and written as FILE.p7m), twice:
#   1. through OpenSC's module on a private card bed's simulated regional card: every signature
#      made by the card with its signature application's key; the card's log gives the APDUs
#      per signature and how many of them are PIN checks;
#   2. through SoftHSM with the bed's token of the same reader (an RSA key of the same size).
# Run by hand; it waits for the card bed's lock, since one pcscd serves the whole machine:
#     tests/bench/opensc-sign-bench.sh [BUILD_FOLDER] [COUNT] [KB]
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$repo/build}
count=${2:-100}
kilobytes=${3:-10}
opensc=/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so
reader="Virtual PCD 00 00"
[ -f "$opensc" ] || { echo "OpenSC's module is missing (package opensc-pkcs11)" >&2; exit 1; }
ninja -C "$build" sign_batch_tool cns-sim pcsc-wait >/dev/null
tool=$(find "$build" -name sign_batch_tool -type f -perm -u+x -print -quit)

work=$(mktemp -d)
exec 9>/tmp/velin-card-bed.lock
flock 9
export CARD_BED_DIR=$work/bed
trap '"$repo/tools/card-bed" --build "$build" stop >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
"$repo/tools/card-bed" --build "$build" start regional >/dev/null
. "$CARD_BED_DIR/card-bed.env"
printf 'app default {\n\tframework pkcs15 {\n\t\tuse_file_caching = no;\n\t}\n}\n' > "$work/opensc.conf"

mkdir -p "$work/opensc" "$work/softhsm"
for i in $(seq -w 1 "$count"); do
    head -c $((kilobytes * 1024)) /dev/urandom > "$work/opensc/doc$i.bin"
done
cp "$work"/opensc/*.bin "$work/softhsm/"

commands() { grep -c "^> $1" "$CARD_BED_APDU_LOG0" || true; }
seconds() { sed -n 's/.* seconds \([0-9.]*\) .*/\1/p'; }

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
apdus=$(commands "")
verifies=$(commands "00 20 00 1A 08")
signatures=$(commands "00 2A ")
line=$(OPENSC_CONF=$work/opensc.conf "$tool" "$opensc" "$reader" 24680 "$work"/opensc/*.bin)
echo "OpenSC:  $line"
apdus=$(($(commands "") - apdus))
verifies=$(($(commands "00 20 00 1A 08") - verifies))
signatures=$(($(commands "00 2A ") - signatures))
theirs=$(echo "$line" | seconds)
line=$("$tool" "$CARD_BED_PKCS11_MODULE" "$reader" "$CARD_BED_TOKEN_PIN" "$work"/softhsm/*.bin)
echo "SoftHSM: $line"
ours=$(echo "$line" | seconds)
printf '%d documents of %d KB: OpenSC on the card %.2f s (%.1f ms a signature), SoftHSM %.2f s (%.1f ms), ratio %.1f\n' \
    "$count" "$kilobytes" "$theirs" "$(echo "$theirs * 1000 / $count" | bc -l)" "$ours" \
    "$(echo "$ours * 1000 / $count" | bc -l)" "$(echo "$theirs / $ours" | bc -l)"
printf 'card: %d APDUs, %.1f a signature; %d security operations, %d PIN checks (the PIN typed once)\n' \
    "$apdus" "$(echo "$apdus / $count" | bc -l)" "$signatures" "$verifies"
