# Sourced by the card bed tests: the bed's environment and small helpers around opensc-tool,
# which sends the APDUs so that the simulator is checked by a PC/SC client that is not ours.
set -euo pipefail

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

note() {
    echo "-- $*"
}

[ -n "${CARD_BED_DIR:-}" ] || fail "CARD_BED_DIR is not set: run through ctest (fixture card_bed)"
[ -f "$CARD_BED_DIR/card-bed.env" ] ||
    fail "no $CARD_BED_DIR/card-bed.env: the card bed is not running (the card_bed.setup test starts it)"
# shellcheck disable=SC1091
. "$CARD_BED_DIR/card-bed.env"
[ -n "${CARD_BED_PCSCD_PID:-}" ] && kill -0 "$CARD_BED_PCSCD_PID" 2>/dev/null ||
    fail "the bed's pcscd is not running (see $CARD_BED_PCSCD_LOG)"
for tool in opensc-tool pkcs11-tool openssl od cmp; do
    command -v "$tool" >/dev/null || fail "$tool is missing (Debian packages opensc, openssl, coreutils, diffutils)"
done

bed=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../.." && pwd)/tools/card-bed

# apdu READER APDU... : one opensc-tool session sending the APDUs in order; prints its output.
apdu() {
    local reader=$1
    shift
    local args=()
    for a in "$@"; do
        args+=(-s "$a")
    done
    opensc-tool -r "$reader" -c default "${args[@]}" 2>&1 || true
}

# Status words of an apdu() run, one per APDU: "9000 63C2 ..."
status_words() {
    sed -n 's/.*SW1=0x\(..\), SW2=0x\(..\).*/\1\2/p' <<<"$1" | tr 'a-f' 'A-F' | tr '\n' ' ' | sed 's/ $//'
}

expect_sw() {
    local got
    got=$(status_words "$1")
    [ "$got" = "$2" ] || fail "$3: status words '$got', expected '$2'. Output:
$1"
}

# Data bytes of reply number N (1-based) of an apdu() run, as "6F 0E 80 ..." upper case.
reply_data() {
    awk -v want="$2" '
        /^Received/ { n++; take = (n == want); next }
        /^Sending/ { take = 0; next }
        take { for (i = 1; i <= 16 && i <= NF; i++) if ($i ~ /^[0-9A-Fa-f][0-9A-Fa-f]$/) printf "%s ", toupper($i); else break }
    ' <<<"$1" | sed 's/ $//'
}

hex_of_file() {
    od -An -tx1 -v "$1" | tr -s ' \n' ' ' | sed 's/^ //; s/ $//' | tr 'a-f' 'A-F'
}

# Hex of an ASCII string.
hex_of_text() {
    printf '%s' "$1" | od -An -tx1 -v | tr -s ' \n' ' ' | sed 's/^ //; s/ $//' | tr 'a-f' 'A-F'
}

state_value() {
    sed -n "s/^$2=//p" "$1"
}

# The reader column of opensc-tool -l for reader N: "Yes" or "No".
card_present() {
    opensc-tool -l 2>/dev/null | awk -v r="$1" '$1 == r { print $2 }'
}

wait_card_present() {
    local want=$1 reader=$2 i
    for i in $(seq 1 60); do
        [ "$(card_present "$reader")" = "$want" ] && return 0
        sleep 0.1
    done
    fail "reader $reader: card present '$(card_present "$reader")', expected '$want' within 6 s"
}

# Puts the fixture's default back: a regional card with a fresh PIN state in reader 0 and reader
# 1 empty, whatever the test did.
restore_bed() {
    "$bed" remove 1 >/dev/null 2>&1 || true
    "$bed" remove 0 >/dev/null 2>&1 || true
    "$bed" insert 0 regional --reset-state >/dev/null
}
