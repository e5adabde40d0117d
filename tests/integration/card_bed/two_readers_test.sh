#!/usr/bin/env bash
# Two readers with two different cards: each answers for itself and logs only its own APDUs.
. "$(dirname "$0")/bed_lib.sh"
trap restore_bed EXIT

"$bed" insert 1 other >/dev/null
. "$CARD_BED_DIR/card-bed.env"
[ "$CARD_BED_PROFILE1" = other ] || fail "env file does not name the card in reader 1"
[ "$(card_present 0)" = Yes ] && [ "$(card_present 1)" = Yes ] || fail "both readers should hold a card:
$(opensc-tool -l 2>&1)"

note "the ATRs are those of the two profiles"
atr0=$(opensc-tool -r 0 -a 2>/dev/null | tail -n 1 | tr 'a-f:' 'A-F ')
atr1=$(opensc-tool -r 1 -a 2>/dev/null | tail -n 1 | tr 'a-f:' 'A-F ')
[ "$atr0" = "$("$CNS_SIM" --profile regional --print-atr)" ] || fail "reader 0 ATR $atr0"
[ "$atr1" = "$("$CNS_SIM" --profile other --print-atr)" ] || fail "reader 1 ATR $atr1"
[ "$atr0" != "$atr1" ] || fail "the two cards have the same ATR"

note "each card has its own serial and its own FCI template"
lines0=$(wc -l <"$CARD_BED_APDU_LOG0")
lines1=$(wc -l <"$CARD_BED_APDU_LOG1")
out0=$(apdu 0 "00 A4 08 00 04 10 00 10 03 00" "00 B0 00 00 10")
out1=$(apdu 1 "00 A4 08 00 04 10 00 10 03 00" "00 B0 00 00 10" "00 A4 08 00 04 10 00 10 02 00")
expect_sw "$out0" "9000 9000" "reader 0"
expect_sw "$out1" "9000 9000 9000" "reader 1"
[ "$(reply_data "$out0" 2)" = "$(hex_of_text 7420091000000001)" ] || fail "reader 0 serial"
[ "$(reply_data "$out1" 2)" = "$(hex_of_text 7420095000000002)" ] || fail "reader 1 serial"
[[ $(reply_data "$out1" 1) == 62\ *\ 81\ 02\ 00\ 10\ * ]] || fail "the other issuer's card answers 62 with tag 81: $(reply_data "$out1" 1)"

new0=$(tail -n +"$((lines0 + 1))" "$CARD_BED_APDU_LOG0" | grep -c '^>' || true)
new1=$(tail -n +"$((lines1 + 1))" "$CARD_BED_APDU_LOG1" | grep -c '^>' || true)
[ "$new0" -eq 2 ] && [ "$new1" -eq 3 ] || fail "APDU logs: reader 0 got $new0 commands (2 sent), reader 1 got $new1 (3 sent)"

note "removing one card leaves the other"
"$bed" remove 1 >/dev/null
[ "$(card_present 0)" = Yes ] && [ "$(card_present 1)" = No ] || fail "after removing card 1: $(opensc-tool -l 2>&1)"
expect_sw "$(apdu 0 "00 A4 00 00 00")" "9000" "reader 0 after removing card 1"
echo PASS
