#!/usr/bin/env bash
# The bed starts right after a stop, 50 times in a row, its SoftHSM tokens built anew each time
# (the object order of token 1 is what once made a start fail), and each time token 1 lists its
# CA certificate first and the regional card answers. It ends started as the fixture left it.
. "$(dirname "$0")/bed_lib.sh"
rounds=${CARD_BED_ROUNDS:-50}
t0=$(date +%s%N)
for ((round = 1; round <= rounds; round++)); do
    "$bed" stop >/dev/null 2>&1 || fail "round $round: stop failed"
    rm -f "$CARD_BED_DIR/softhsm/stamp"
    out=$("$bed" start 2>&1) || fail "round $round: start right after stop failed:
$out"
    labels=$(pkcs11-tool --module "$CARD_BED_PKCS11_MODULE" --token-label "$CARD_BED_TOKEN_LABEL1" --list-objects \
        --type cert 2>/dev/null | sed -n 's/^ *label: *//p' | tr '\n' ' ')
    [ "$labels" = "CA holder " ] || fail "round $round: token 1 lists '$labels'"
done
out=$(apdu 0 "00 A4 08 00 04 11 00 11 02 00")
expect_sw "$out" "9000" "the regional card after the last start"
echo "$rounds starts and stops in $((($(date +%s%N) - t0) / 1000000)) ms"
echo PASS
