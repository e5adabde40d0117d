#!/usr/bin/env bash
# PIN and PUK on the regional card: wrong and right PIN, counter, block, unblock with the PUK,
# change, security state across a reset, the state file after the card program has exited, and
# no secret in the APDU log.
. "$(dirname "$0")/bed_lib.sh"
trap restore_bed EXIT

"$bed" remove 0 >/dev/null
"$bed" insert 0 regional --reset-state >/dev/null
. "$CARD_BED_DIR/card-bed.env"
state=$CARD_BED_STATE0
log=$CARD_BED_APDU_LOG0
[ -f "$state" ] || fail "no state file $state"

pin_block() { # digits -> "31 32 ... FF"
    local hex i
    hex=$(hex_of_text "$1")
    for ((i = ${#1}; i < 8; i++)); do hex+=" FF"; done
    echo "$hex"
}
verify() { echo "00 20 00 10 08 $(pin_block "$1")"; }
read_nkep=("00 A4 08 00 04 14 00 D0 06 00" "00 B0 00 00 10")

note "PIN-protected Netlink file before and after VERIFY; wrong PINs count down"
out=$(apdu 0 "${read_nkep[@]}" "$(verify 99999)" "$(verify 11111)" "00 20 00 10" "$(verify 12345)" "00 B0 00 00 10")
expect_sw "$out" "9000 6982 63C2 63C1 63C1 9000 9000" "verify sequence"
[ "$(state_value "$state" pin_tries)" = 3 ] || fail "a right PIN must restore the counter"

note "only the 8-byte block is the PIN: the bare digits of the right PIN cost a try"
out=$(apdu 0 "00 20 00 10 05 $(hex_of_text 12345)" "00 20 00 10 05 $(hex_of_text 12345) 00" "${read_nkep[@]}" "$(verify 12345)")
expect_sw "$out" "63C2 63C1 9000 6982 9000" "bare PIN"
[ "$(state_value "$state" pin_tries)" = 3 ] || fail "the padded PIN must restore the counter"

note "a cold reset ends the verification"
opensc-tool -r 0 --reset >/dev/null 2>&1 || fail "opensc-tool --reset failed"
out=$(apdu 0 "00 20 00 10" "${read_nkep[@]}")
expect_sw "$out" "63C3 9000 6982" "after reset"

note "three wrong PINs block it, the right one is refused then"
out=$(apdu 0 "$(verify 99999)" "$(verify 99999)" "$(verify 99999)" "$(verify 12345)")
expect_sw "$out" "63C2 63C1 63C0 6983" "block"
[ "$(state_value "$state" pin_tries)" = 0 ] || fail "state file: pin_tries $(state_value "$state" pin_tries), expected 0"

note "unblock: a wrong PUK costs a PUK try, the right one sets the new PIN"
out=$(apdu 0 "00 2C 00 10 10 $(hex_of_text 87654321) $(pin_block 54321) 00" \
    "00 2C 00 10 10 $(hex_of_text 12345678) $(pin_block 54321) 00" "$(verify 54321)")
expect_sw "$out" "63C9 9000 9000" "reset retry counter"
[ "$(state_value "$state" pin)" = 54321 ] || fail "state file: PIN not changed by the unblock"
[ "$(state_value "$state" puk_tries)" = 10 ] || fail "state file: PUK counter not restored"

note "change PIN: wrong old PIN refused, right one accepted, new PIN verifies"
out=$(apdu 0 "00 24 00 10 10 $(pin_block 11111) $(pin_block 13579) 00" \
    "00 24 00 10 10 $(pin_block 54321) $(pin_block 13579) 00" "$(verify 54321)" "$(verify 13579)")
expect_sw "$out" "63C2 9000 63C2 9000" "change reference data"

note "the state outlives the card program"
"$bed" remove 0 >/dev/null
[ "$(state_value "$state" pin)" = 13579 ] && [ "$(state_value "$state" pin_tries)" = 3 ] &&
    [ "$(state_value "$state" puk_tries)" = 10 ] || fail "state file after exit: $(tr '\n' ' ' <"$state")"
"$bed" insert 0 regional >/dev/null
expect_sw "$(apdu 0 "$(verify 13579)")" "9000" "the re-inserted card keeps its PIN"

note "no PIN or PUK digits in the APDU log"
grep -E '^> 00 (20|24|2C) ' "$log" | grep -vE '^> 00 (20|24|2C) .. .. ?(..)?( \*\*)*( ..)?$' &&
    fail "a PIN command line in $log shows its data"
for secret in 12345 54321 13579 99999 12345678 87654321; do
    grep -q "$(hex_of_text "$secret")" "$log" && fail "the bytes of $secret appear in $log"
done
grep -q '^> 00 20 00 10 08 \*\* \*\* \*\* \*\* \*\* \*\* \*\* \*\*$' "$log" || fail "masked VERIFY line not found"
echo PASS
