#!/usr/bin/env bash
# Removal and re-insertion as pcscd sees them, a card that leaves after N commands, and a card
# program that ends promptly on SIGTERM.
. "$(dirname "$0")/bed_lib.sh"
trap restore_bed EXIT

note "remove: pcscd reports the reader empty and APDUs fail"
[ "$(card_present 0)" = Yes ] || fail "reader 0 should start with a card"
started=$(date +%s%N)
"$bed" remove 0 2>"$CARD_BED_DIR/remove.err" || fail "card-bed remove failed: $(cat "$CARD_BED_DIR/remove.err")"
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
grep -q "ignored SIGTERM" "$CARD_BED_DIR/remove.err" && fail "cns-sim had to be killed: it did not end on SIGTERM"
[ "$(card_present 0)" = No ] || fail "opensc-tool still sees a card in reader 0"
out=$(apdu 0 "00 A4 00 00 00")
[ -z "$(status_words "$out")" ] || fail "an APDU was answered with no card: $out"
note "removal seen by pcscd after $elapsed_ms ms"

note "insert again: the card is back"
"$bed" insert 0 regional >/dev/null
[ "$(card_present 0)" = Yes ] || fail "no card after insert"
expect_sw "$(apdu 0 "00 A4 08 00 04 10 00 10 03 00")" "9000" "select after re-insertion"

note "a card that leaves after two commands"
"$bed" remove 0 >/dev/null
"$bed" insert 0 regional --remove-after 2 >/dev/null
out=$(apdu 0 "00 A4 08 00 04 10 00 10 03 00" "00 B0 00 00 10" "00 B0 00 00 10")
expect_sw "$out" "9000 9000" "two answers, then nothing"
wait_card_present No 0
. "$CARD_BED_DIR/card-bed.env"
grep -qx '# removed' <<<"$(tail -n 3 "$CARD_BED_APDU_LOG0")" || fail "the card log does not record the removal"
"$bed" remove 0 >/dev/null # its program has already ended: remove must still succeed

note "a card pulled out in the middle of a command"
"$bed" insert 0 regional --remove-during 2 >/dev/null
out=$(apdu 0 "00 A4 08 00 04 10 00 10 03 00" "00 B0 00 00 10")
expect_sw "$out" "9000" "first answered, second lost"
wait_card_present No 0
"$bed" remove 0 >/dev/null

note "cns-sim waiting for a reader that is not there ends at once on SIGTERM"
"$CNS_SIM" --port 9 --connect-timeout-ms 60000 </dev/null >/dev/null 2>&1 &
pid=$!
sleep 0.2
kill -0 $pid 2>/dev/null || fail "cns-sim should still be trying to connect"
kill -TERM $pid
for _ in $(seq 1 50); do kill -0 $pid 2>/dev/null || break; sleep 0.01; done
kill -0 $pid 2>/dev/null && { kill -KILL $pid; fail "cns-sim ignored SIGTERM while connecting"; }
wait $pid || fail "cns-sim exited with status $? on SIGTERM"
echo PASS
