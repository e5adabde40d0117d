# tools/norax-read loads the built library with dlopen and reads the simulated card through the
# real PC/SC stack, answering the library's real dialogs (offscreen) as the holder would.
set -euo pipefail
norax_read=$1
. "$(dirname "${BASH_SOURCE[0]}")/../card_bed/bed_lib.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export TMPDIR=$work XDG_RUNTIME_DIR=$work

expect_line() {
    grep -qxF -- "$2" <<<"$1" || fail "missing line '$2' in:
$1"
}

# Personal data: one consent; "Dimmi di più" shows the description and keeps the dialog open.
out=$("$norax_read" --answers more,ok,yes personal version 2>"$work/dialogs")
expect_line "$out" "personal: result 0x00000000 size 400"
expect_line "$out" "version: 0x03030000"
grep -q "^data 303030303736" <<<"$out" || fail "personal data: $out"
grep -qF "dialog [Carta Velin]: LETTURA DATI | L'applicazione ha chiesto di leggere | i dati anagrafici | registrati sulla tua Carta Velin." "$work/dialogs" ||
    fail "reading dialog: $(cat "$work/dialogs")"
grep -qF "box [Carta Velin]: Nei dati anagrafici ci sono i tuoi: nome e cognome, sesso, luogo e data di nascita, codice fiscale, cittadinanza." "$work/dialogs" ||
    fail "description box: $(cat "$work/dialogs")"

# The technical properties after Yes, the certificate after consent.
out=$("$norax_read" --answers yes,yes,yes,yes,yes property atr property manufacturer property type property issuer property certificate 2>"$work/dialogs")
expect_line "$out" "value 3B 8F 81 31 FE 45 00 6B 56 05 01 02 01 21 01 43 4E 53 10 31 80 61"
expect_line "$out" "value Oberthur Card Systems"
expect_line "$out" "value Carta cittadino reale con il nuovo set di chiavi"
expect_line "$out" "value CN=Regione Valdora Certification Authority Cittadini, OU=Servizi di Certificazione, O=Regione Valdora, C=IT"
certificate=$(awk '/^property certificate: result 0x00000000/ { take = 1; next } take' <<<"$out" | sed 's/^value //' | tr -d '\r\n')
expected=$(base64 -w0 "$CARD_BED_FIXTURES/holder-regional.cert.der")
[ "$certificate" = "$expected" ] || fail "certificate differs from the fixture"
[ "$(grep -c 'Autorizzi la lettura di queste informazioni?' "$work/dialogs")" = 4 ] || fail "property question count: $(cat "$work/dialogs")"

# No to the question, a wrong PIN then the right one, and the failure texts.
out=$("$norax_read" --answers no,pin:11111,ok,pin:12345 property atr read EF.NKEP read foo 2>"$work/dialogs") || true
expect_line "$out" "property atr: result 0x80070005 size 65536"
expect_line "$out" "error Accesso negato."
expect_line "$out" "read EF.NKEP: result 0x00000000 size 200"
expect_line "$out" "read foo: result 0x8004020F size 65536"
expect_line "$out" "error File non trovato."
grep -qF "box [Carta Velin]: Il PIN non è corretto." "$work/dialogs" || fail "wrong PIN box: $(cat "$work/dialogs")"
restore_bed
echo "norax-read: all checks passed"
