#!/usr/bin/env bash
# OpenSC's own CNS support against the bed's cards, as a holder's desktop uses it: its PKCS#15
# view lists the certificates each card holds, its PKCS#11 module lists the objects and signs,
# and the card's log shows every signature made by the card itself, after the right PIN.
# shellcheck source=bed_lib.sh
. "$(dirname "${BASH_SOURCE[0]}")/bed_lib.sh"

module=${OPENSC_PKCS11_MODULE:-/usr/lib/x86_64-linux-gnu/opensc-pkcs11.so}
[ -f "$module" ] || fail "OpenSC's PKCS#11 module $module is missing (Debian package opensc-pkcs11)"
command -v pkcs15-tool >/dev/null || fail "pkcs15-tool is missing (Debian package opensc)"

work=$(mktemp -d)
trap 'rm -rf "$work"; restore_bed' EXIT
# No file cache: each run reads the card in the reader, not what an earlier card left.
export OPENSC_CONF=$work/opensc.conf
printf 'app default {\n\tframework pkcs15 {\n\t\tuse_file_caching = no;\n\t}\n}\n' >"$OPENSC_CONF"

"$bed" remove 0 >/dev/null
"$bed" insert 0 regional --reset-state >/dev/null
"$bed" insert 1 other --reset-state >/dev/null
. "$CARD_BED_DIR/card-bed.env"
p11=(pkcs11-tool --module "$module")
printf 'Delibera n. 12 del 9 dicembre\n' >"$work/data"

# The PKCS#15 view: the regional card has the authentication certificate and the signature
# application's, the other card the first only.
listing=$(pkcs15-tool --reader 0 --list-certificates 2>&1) || fail "pkcs15-tool --list-certificates (regional): $listing"
for expected in "X.509 Certificate \[CNS0\]" "Path *: 3f0011001101" "X.509 Certificate \[CNS1\]" "Path *: 3f0014009010"; do
    grep -q "$expected" <<<"$listing" || fail "regional card: no '$expected' in
$listing"
done
listing=$(pkcs15-tool --reader 1 --list-certificates 2>&1) || fail "pkcs15-tool --list-certificates (other): $listing"
grep -q "X.509 Certificate \[CNS0\]" <<<"$listing" && ! grep -q "CNS1" <<<"$listing" ||
    fail "other card: expected the authentication certificate alone, got
$listing"

# reader | token label | key id | PIN | PIN reference | certificate fixture
while IFS='|' read -r reader token id pin reference fixture; do
    note "reader $reader, $token: key $id"
    pkcs15-tool --reader "$reader" --read-certificate "$id" 2>/dev/null |
        openssl x509 -outform DER -out "$work/cert.der" 2>/dev/null || fail "$token: certificate $id unreadable"
    cmp -s "$work/cert.der" "$CARD_BED_FIXTURES/$fixture.cert.der" || fail "$token: certificate $id is not $fixture"

    objects=$("${p11[@]}" --token-label "$token" --list-objects 2>&1) || fail "$token: --list-objects: $objects"
    for expected in "Certificate Object" "Public Key Object; RSA 1024 bits" "ID: *$id"; do
        grep -q "$expected" <<<"$objects" || fail "$token: no '$expected' among the objects:
$objects"
    done

    log_var=CARD_BED_APDU_LOG$reader
    log=${!log_var}
    state_var=CARD_BED_STATE$reader
    state=${!state_var}
    tries_key=pin_tries
    [ "$reference" = 1A ] && tries_key=sign_pin_tries
    # A wrong PIN costs one try, a right one gives them back.
    "${p11[@]}" --token-label "$token" --login --pin 99999 --sign --id "$id" -m SHA256-RSA-PKCS \
        -i "$work/data" -o "$work/sig" >/dev/null 2>&1 && fail "$token: signed with a wrong PIN"
    [ "$(state_value "$state" "$tries_key")" = 2 ] || fail "$token: a wrong PIN left $tries_key=$(state_value "$state" "$tries_key")"
    logged=$(wc -c <"$log")
    "${p11[@]}" --token-label "$token" --login --pin "$pin" --sign --id "$id" -m SHA256-RSA-PKCS \
        -i "$work/data" -o "$work/sig" >"$work/out" 2>&1 || fail "$token: pkcs11-tool --sign: $(cat "$work/out")"
    [ "$(state_value "$state" "$tries_key")" = 3 ] || fail "$token: the right PIN did not restore $tries_key"
    openssl x509 -in "$CARD_BED_FIXTURES/$fixture.cert.pem" -pubkey -noout >"$work/pub.pem"
    openssl dgst -sha256 -verify "$work/pub.pem" -signature "$work/sig" "$work/data" >/dev/null ||
        fail "$token: the signature does not verify with $fixture's certificate"

    # The card did it: the PIN block went to VERIFY, the key was chosen, the block was worked.
    session=$(tail -c +$((logged + 1)) "$log")
    for expected in "> 00 20 00 ($reference|9${reference:1}) 08 \*\* \*\* \*\* \*\* \*\* \*\* \*\* \*\*" "> 00 22 F3 03 00" \
        "> 00 22 F1 B[68] 03 83 01 $id" "> 00 2A (9E 9A|80 86) 8[01] "; do
        grep -Eq "^$expected" <<<"$session" || fail "$token: no '$expected' in the card's log:
$session"
    done
done <<'TABLE'
0|MARTA VERDELLI (PIN CNS0)|01|12345|10|holder-regional
0|MARTA VERDELLI (PIN CNS1)|10|24680|1A|holder-regional-sign
1|PIETRO BRANCALEONI (PIN CNS0)|01|12345|10|holder-other
TABLE
note "OpenSC lists and signs with every key of the bed's cards"
