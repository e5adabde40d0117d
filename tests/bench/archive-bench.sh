#!/bin/bash
# Times `velin-verify --batch` on long-term CAdES envelopes of one size against one hash pass over
# the same file (`openssl dgst -sha256`): a DER CAdES-T (a signature time stamp, no long-term data:
# it must cost what a plain signature costs), the same as a CAdES-B-LTA (the authority's
# certificate and the CA's list in the envelope, an archive time stamp v3 with its hash index over
# it) and with an archive time stamp v2 (whose imprint covers the document's bytes themselves).
# Prints the best wall time of the runs, the peak resident memory and the peak of the memory not
# backed by the file (anonymous). Run by hand:
#     tests/bench/archive-bench.sh [BUILD_FOLDER] [DATA_FOLDER] [MEGABYTES]
# The generated files are kept in DATA_FOLDER (made once, reused by later runs); without it a
# temporary folder is used and removed.
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$repo/build}
data=${2:-}
megabytes=${3:-200}
program=$build/bin/velin-verify
[ -x "$program" ] || { echo "velin-verify not built in $build" >&2; exit 1; }
pki=$repo/tests/fixtures/pki
tools=$repo/tools/make-timestamp-fixtures
der() { python3 "$tools/der.py" "$@"; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -n "$data" ] || data=$work/data
mkdir -p "$data"
data=$(cd "$data" && pwd)

# token INPUT OUT: a token of the test time-stamping authority over INPUT's bytes.
token() {
    (cd "$data/authority" && openssl ts -query -data "$1" -sha256 -cert -out "$work/q.tsq" 2>/dev/null &&
        openssl ts -reply -config openssl.cnf -queryfile "$work/q.tsq" -signer tsa.cert.pem -inkey tsa.key.pem \
            -out "$work/r.tsr" 2>/dev/null &&
        openssl ts -reply -in "$work/r.tsr" -token_out -out "$2" 2>/dev/null)
}

if [ ! -s "$data/lta-v2.p7m" ] || [ "$(cat "$data/megabytes" 2>/dev/null)" != "$megabytes" ]; then
    echo "Generating ${megabytes} MB long-term envelopes in $data ..." >&2
    "$tools/make-timestamp-fixtures" --authority "$data/authority"
    head -c $((megabytes * 1024 * 1024)) /dev/urandom > "$work/document.bin"
    openssl cms -sign -nodetach -binary -outform DER -md sha256 -in "$work/document.bin" \
        -signer "$pki/signer-legal.cert.pem" -inkey "$pki/signer-legal.key.pem" -out "$work/signed.p7m"
    rm -f "$work/document.bin"
    der signature-value "$work/signed.p7m" "$work/signature.bin"
    token "$work/signature.bin" "$work/signature.tst"
    der add-timestamp "$work/signed.p7m" "$work/signature.tst" "$data/cades-t.p7m"
    rm -f "$work/signed.p7m"
    openssl x509 -in "$data/authority/tsa.cert.pem" -outform DER -out "$work/tsa.der"
    der add-certificate "$data/cades-t.p7m" "$work/tsa.der" "$work/base.p7m"
    der add-crl "$work/base.p7m" "$pki/crl/accredited-ca.crl" "$work/base.p7m"
    der ats-v3-input "$work/base.p7m" "$work/index.der" "$work/input.bin"
    token "$work/input.bin" "$work/ats.tst"
    der add-index "$work/ats.tst" "$work/index.der" "$work/ats-indexed.tst"
    der add-archive "$work/base.p7m" "$work/ats-indexed.tst" "$data/lta-v3.p7m" v3
    der ats-v2-input "$work/base.p7m" "$work/input.bin"
    token "$work/input.bin" "$work/ats-v2.tst"
    der add-archive "$work/base.p7m" "$work/ats-v2.tst" "$data/lta-v2.p7m" v2
    rm -f "$work/base.p7m" "$work/input.bin"
    echo "$megabytes" > "$data/megabytes"
fi

. "$repo/tests/bench/verifier-bench-lib.sh"

cat "$data"/*.p7m > /dev/null
printf '%-8s %8s %8s %8s | %8s %8s | %s\n' form "ours s" "RSS MB" "anon MB" "dgst s" "t/dgst" "archive time stamps"
row() {
    local form=$1 file=$2
    measure "$form-ours" "$program" --batch --json "$file"
    local ours=$seconds ours_kb=$kilobytes
    anon_peak "$program" --batch "$file"
    measure "$form-dgst" openssl dgst -sha256 "$file"
    local archive
    archive=$(python3 -c 'import json, sys
r = json.load(open(sys.argv[1]))
t = [s for l in r["layers"] for s in l.get("timestamps", []) if s.get("scope") == "archive"]
print(" ".join("verified" if s.get("verified") else "NOT verified" for s in t) or "-")' "$work/$form-ours.out")
    awk -v f="$form" -v o="$ours" -v ok="$ours_kb" -v a="$anon" -v d="$seconds" -v r="$archive" 'BEGIN {
        printf "%-8s %8.2f %8.0f %8.1f | %8.2f %8.2f | %s\n", f, o, ok / 1024, a / 1024, d, (d > 0 ? o / d : 0), r
    }'
}
row cades-t "$data/cades-t.p7m"
row lta-v3 "$data/lta-v3.p7m"
row lta-v2 "$data/lta-v2.p7m"
echo "Targets: cades-t as a plain DER signature; lta-v3 t/dgst <= 1.5 and anon <= 64 MB."
