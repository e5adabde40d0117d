#!/usr/bin/env bash
# The SoftHSM tokens: labelled after the readers, holding the holder key and the same
# certificate as the card in that reader (token 1 also a CA certificate, listed first);
# pkcs11-tool signs and OpenSSL verifies.
. "$(dirname "$0")/bed_lib.sh"
[ -n "${SOFTHSM2_CONF:-}" ] && [ -f "$SOFTHSM2_CONF" ] || fail "no SoftHSM configuration in the bed (card-bed token)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
p11=(pkcs11-tool --module "$CARD_BED_PKCS11_MODULE")

note "both tokens are listed under the readers' names"
slots=$("${p11[@]}" --list-slots 2>&1)
grep -q "token label *: $CARD_BED_TOKEN_LABEL0\$" <<<"$slots" || fail "no token '$CARD_BED_TOKEN_LABEL0':
$slots"
grep -q "token label *: $CARD_BED_TOKEN_LABEL1\$" <<<"$slots" || fail "no token '$CARD_BED_TOKEN_LABEL1'"

note "sign with the reader-0 token, verify with the card's certificate"
printf 'documento da firmare\n' >"$work/data"
"${p11[@]}" --token-label "$CARD_BED_TOKEN_LABEL0" --login --pin "$CARD_BED_TOKEN_PIN" --sign --id 01 \
    -m SHA256-RSA-PKCS -i "$work/data" -o "$work/sig" >/dev/null 2>&1 || fail "pkcs11-tool could not sign"
"${p11[@]}" --token-label "$CARD_BED_TOKEN_LABEL0" --read-object --type cert --id 01 -o "$work/token.der" \
    >/dev/null 2>&1 || fail "no certificate with id 01 on the token"
cmp -s "$work/token.der" "$CARD_BED_FIXTURES/holder-regional.cert.der" || fail "token certificate differs from the fixture"
openssl x509 -inform DER -in "$work/token.der" -pubkey -noout >"$work/pub.pem"
openssl dgst -sha256 -verify "$work/pub.pem" -signature "$work/sig" "$work/data" >/dev/null ||
    fail "the token's signature does not verify with its certificate"
grep -q "Regione Valdora Certification Authority Cittadini" <<<"$(openssl x509 -inform DER -in "$work/token.der" -noout -issuer)" ||
    fail "token 0 does not hold the regional holder"

note "the token certificate is the one in the card's file 1100/1101"
der_hex=$(hex_of_file "$work/token.der")
size=$(wc -w <<<"$der_hex")
reads=()
for ((offset = 0; offset < size; offset += 254)); do
    n=$((size - offset < 254 ? size - offset : 254))
    reads+=("$(printf '00 B0 %02X %02X %02X' $((offset >> 8)) $((offset & 255)) "$n")")
done
out=$(apdu 0 "00 A4 08 00 04 11 00 11 01 00" "${reads[@]}")
card=""
for ((i = 2; i <= ${#reads[@]} + 1; i++)); do
    card+="$(reply_data "$out" "$i") "
done
[ "${card% }" = "$der_hex" ] || fail "card certificate and token certificate differ"

note "a wrong token PIN is refused"
"${p11[@]}" --token-label "$CARD_BED_TOKEN_LABEL0" --login --pin 99999 --sign --id 01 -m SHA256-RSA-PKCS \
    -i "$work/data" -o "$work/sig2" >/dev/null 2>&1 && fail "signed with a wrong PIN"

note "token 1 holds the other issuer's holder"
"${p11[@]}" --token-label "$CARD_BED_TOKEN_LABEL1" --read-object --type cert --id 01 -o "$work/t1.der" >/dev/null 2>&1 ||
    fail "no certificate on token 1"
cmp -s "$work/t1.der" "$CARD_BED_FIXTURES/holder-other.cert.der" || fail "token 1 certificate differs from holder-other"
labels=$("${p11[@]}" --token-label "$CARD_BED_TOKEN_LABEL1" --list-objects --type cert 2>/dev/null | sed -n 's/^ *label: *//p' | tr '\n' ' ')
[ "$labels" = "CA holder " ] || fail "token 1 must list the CA certificate before the holder's, got: $labels"
"${p11[@]}" --token-label "$CARD_BED_TOKEN_LABEL1" --read-object --type cert --id 0A -o "$work/ca.der" >/dev/null 2>&1 ||
    fail "no CA certificate on token 1"
cmp -s "$work/ca.der" "$CARD_BED_FIXTURES/regional-ca.cert.der" || fail "token 1 CA certificate differs from regional-ca"
echo PASS
