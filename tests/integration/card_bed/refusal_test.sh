#!/usr/bin/env bash
# What card-bed refuses, with a message saying why, and without disturbing the running bed.
. "$(dirname "$0")/bed_lib.sh"
other=$(mktemp -d)
trap 'rm -rf "$other"; restore_bed' EXIT

expect_refusal() { # expect_refusal "message part" command...
    local want=$1 out
    shift
    if out=$("$@" </dev/null 2>&1); then
        fail "'$*' should have failed; it printed: $out"
    fi
    grep -qF -- "$want" <<<"$out" || fail "'$*' failed without saying '$want': $out"
}

note "a second bed while this one owns /run/pcscd"
expect_refusal "another pcscd ($CARD_BED_PCSCD_PID) owns /run/pcscd" \
    env CARD_BED_DIR="$other" "$bed" start --no-token regional
[ ! -e "$other/pcscd.pid" ] || fail "the refused start left a pcscd pid file"

note "starting this bed twice"
expect_refusal "already running" "$bed" start --no-token

note "a card into an occupied or a missing reader, an unknown profile"
expect_refusal "reader 0 already holds a card" "$bed" insert 0 other
expect_refusal "reader index must be 0 or 1" "$bed" insert 2 regional
expect_refusal "unknown profile" "$bed" insert 1 nosuchcard
. "$CARD_BED_DIR/card-bed.env"
[ -z "$CARD_BED_PROFILE1" ] || fail "the env file names a card in reader 1 after a failed insert"
expect_refusal "--pin: 5 to 8 digits" "$bed" insert 1 regional --pin 12a45

note "the bed is unharmed"
[ "$(card_present 0)" = Yes ] && [ "$(card_present 1)" = No ] || fail "reader state changed: $(opensc-tool -l 2>&1)"
expect_sw "$(apdu 0 "00 A4 08 00 04 10 00 10 03 00")" "9000" "regional card still answers"
echo PASS
