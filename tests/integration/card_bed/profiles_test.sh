#!/usr/bin/env bash
# Every card variant the simulator offers, inserted in reader 1 and looked at through pcscd.
. "$(dirname "$0")/bed_lib.sh"
trap restore_bed EXIT

use() { # use PROFILE [OPTIONS...]: a fresh card of that kind in reader 1
    "$bed" remove 1 >/dev/null 2>&1 || true
    "$bed" insert 1 "$@" --reset-state >/dev/null || fail "cannot insert $*"
    log=$CARD_BED_DIR/reader1/apdu.log
    mark=$(wc -l <"$log")
}
new_log() { tail -n +"$((mark + 1))" "$log"; }
atr() { opensc-tool -r 1 -a 2>/dev/null | tail -n 1 | tr 'a-f:' 'A-F '; }
# byte I of a spaced hex string, negative I counts from the end
byte() {
    local -a b
    read -r -a b <<<"$1"
    echo "${b[$2]}"
}
is_cns_atr() {
    local -a b
    read -r -a b <<<"$1"
    local n=${#b[@]}
    ((n >= 16)) && [ "${b[n - 7]} ${b[n - 6]} ${b[n - 5]}" = "43 4E 53" ]
}

note "regional card: CNS ATR, T=1, TCK right, codes at H[3] and H[7]"
use regional --manufacturer 0A --type 11
a=$(atr)
is_cns_atr "$a" || fail "not a CNS ATR: $a"
read -r -a b <<<"$a"
n=${#b[@]}
[ "${b[n - 13]}" = 0A ] && [ "${b[n - 9]}" = 11 ] || fail "manufacturer/type not at H[3]/H[7]: $a"
x=0
for ((i = 1; i < n; i++)); do x=$((x ^ 16#${b[i]})); done
((x == 0)) || fail "TCK wrong: $a"

note "contactless: the reader ATR is not CNS, EF_ATR holds one"
use contactless
a=$(atr)
is_cns_atr "$a" && fail "contactless reader ATR must not be a CNS ATR: $a"
out=$(apdu 1 "00 A4 08 00 02 2F 01 00" "00 B0 00 00 00")
sws=$(status_words "$out")
[[ $sws == "9000 6282" || $sws == "9000 9000" ]] || fail "reading EF_ATR: $sws"
is_cns_atr "$(reply_data "$out" 2)" || fail "EF_ATR is not a CNS ATR: $(reply_data "$out" 2)"

note "non-CNS card: other ATR, no CNS files"
use noncns
is_cns_atr "$(atr)" && fail "noncns has a CNS ATR"
expect_sw "$(apdu 1 "00 A4 08 00 04 11 00 11 02 00" "00 A4 08 00 02 2F 01 00")" "6A82 6A82" "noncns files"

note "alternative ATR pattern: 3B at 0, 31 at 6, 55 at 8, 00 at 9; files readable"
use alt
a=$(atr)
[ "$(byte "$a" 0) $(byte "$a" 6) $(byte "$a" 8) $(byte "$a" 9)" = "3B 31 55 00" ] || fail "alt ATR: $a"
is_cns_atr "$a" && fail "alt ATR must not be a CNS ATR"
expect_sw "$(apdu 1 "00 A4 08 00 04 11 00 11 02 00" "00 B0 00 00 10")" "9000 9000" "alt card files"

note "no SELECT by path: 6700, and the step-by-step selection works"
use regional --no-path-select
out=$(apdu 1 "00 A4 08 00 04 11 00 11 02 00" "00 A4 00 00 00" "00 A4 00 00 02 11 00 00" "00 A4 00 00 02 11 02 00" "00 B0 01 8C 04")
expect_sw "$out" "6700 9000 9000 9000 9000" "path refused, chain accepted"

note "T=0 only: no protocol byte in the ATR; data after data comes with 61xx and GET RESPONSE"
use regional --t0
a=$(atr)
is_cns_atr "$a" || fail "T=0 card should still have a CNS ATR: $a"
(((16#$(byte "$a" 1) & 0x80) == 0)) || fail "T=0 ATR announces TD1: $a"
out=$(apdu 1 "00 A4 08 00 04 11 00 11 02 00")
expect_sw "$out" "9000" "select on T=0"
grep -q '^< 61 ' <<<"$(new_log)" || fail "the card did not answer 61xx on T=0:
$(new_log)"
grep -q '^> 00 C0 00 00 ' <<<"$(new_log)" || fail "no GET RESPONSE reached the card"

note "wrong PIN answered 6300 on request"
use regional --pin-fail-sw 6300
expect_sw "$(apdu 1 "00 20 00 10 08 39 39 39 39 39 FF FF FF")" "6300" "plain wrong PIN"

note "a free file made PIN-protected"
use regional --protect 11001102
expect_sw "$(apdu 1 "00 A4 08 00 04 11 00 11 02 00" "00 B0 00 00 10" "00 20 00 10 08 31 32 33 34 35 FF FF FF" "00 B0 00 00 10")" \
    "9000 6982 9000 9000" "protected personal data"

note "replies of one byte and of no byte reach the client as broken replies"
use regional --short-reply 1
out=$(apdu 1 "00 A4 08 00 04 11 00 11 02 00")
[ -z "$(status_words "$out")" ] || fail "a 1-byte reply was taken as a status word: $out"
grep -qx '< 6F' <<<"$(new_log)" || fail "the card log does not show the 1-byte reply"
use regional --short-reply 0 --short-reply-after 1
out=$(apdu 1 "00 A4 08 00 04 11 00 11 02 00" "00 B0 00 00 10")
[ "$(status_words "$out")" = 9000 ] || fail "first reply whole, second empty: $out"
grep -qx '<' <<<"$(new_log)" || fail "the card log does not show the empty reply"

note "a chosen ATR and a forced status word"
use regional --atr "3B 8A 81 01 43 4E 53 00 11 22 33 44 55 66 23" --answer 24=9300
a=$(atr)
[ "$a" = "3B 8A 81 01 43 4E 53 00 11 22 33 44 55 66 23" ] || fail "reader ATR not replaced: $a"
is_cns_atr "$a" && fail "a 15-byte ATR is never a CNS ATR"
expect_sw "$(apdu 1 "00 24 00 10 10 $(hex_of_text 12345) FF FF FF $(hex_of_text 54321) FF FF FF 00" \
    "00 20 00 10 08 $(hex_of_text 12345) FF FF FF")" "9300 9000" "busy card keeps its PIN"

note "delay per APDU"
use regional --delay-ms 300
started=$(date +%s%N)
expect_sw "$(apdu 1 "00 A4 00 00 00" "00 A4 00 00 00")" "9000 9000" "delayed card"
elapsed=$((($(date +%s%N) - started) / 1000000))
((elapsed >= 600)) || fail "two APDUs with 300 ms delay took $elapsed ms"
echo PASS
