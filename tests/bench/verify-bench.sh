#!/bin/bash
# Times `velin-verify --batch` against one hash pass over the same file (`openssl dgst -sha256`)
# and against `openssl cms -verify -noverify -binary`, on generated signed files of one size: a DER
# .p7m with one signer, its bare base64, PEM and S/MIME forms, the same document signed as a
# streaming signer writes it (BER, the document in pieces), and a .m7m whose envelope part is
# base64 with a time-stamp reply beside it. Prints the best wall time of the runs, the peak resident
# memory and the peak of the memory not backed by the file (anonymous). With HOSTILE=1 also a 2 GB
# DER envelope, a 3.9 GB sparse file of zeros, a 1 GB base64 line that is no envelope and an
# envelope with 100,000 signers of a certificate without known issuer and one with 100,000 signers of
# the test authority, each with the CRL check off and on. Run by hand:
#     [HOSTILE=1] tests/bench/verify-bench.sh [BUILD_FOLDER] [DATA_FOLDER] [MEGABYTES]
# The generated files are kept in DATA_FOLDER (made once, reused by later runs); without it a
# temporary folder is used and removed.
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$repo/build}
data=${2:-}
megabytes=${3:-200}
program=$build/bin/velin-verify
[ -x "$program" ] || { echo "velin-verify not built in $build" >&2; exit 1; }
if [ "${HOSTILE:-0}" = 1 ]; then
    ninja -C "$build" many_signers_tool attach_document_tool >/dev/null
    signers_tool=$(find "$build" -name many_signers_tool -type f -perm -u+x -print -quit)
    attach_tool=$(find "$build" -name attach_document_tool -type f -perm -u+x -print -quit)
fi
pki=$repo/tests/fixtures/pki

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if [ -z "$data" ]; then
    data=$work/data
fi
mkdir -p "$data"
data=$(cd "$data" && pwd)

# The signed files, made once.
if [ ! -s "$data/big.m7m" ] || [ "$(cat "$data/megabytes" 2>/dev/null)" != "$megabytes" ]; then
    echo "Generating ${megabytes} MB files in $data ..." >&2
    head -c $((megabytes * 1024 * 1024)) /dev/urandom > "$data/document.bin"
    openssl cms -sign -nodetach -binary -outform DER -md sha256 -in "$data/document.bin" \
        -signer "$pki/signer-legal.cert.pem" -inkey "$pki/signer-legal.key.pem" -out "$data/big.p7m"
    rm -f "$data/document.bin"
    openssl base64 -in "$data/big.p7m" -out "$data/big-base64.p7m"
    openssl cms -cmsout -inform DER -in "$data/big.p7m" -outform PEM -out "$data/big-pem.cms"
    openssl cms -cmsout -inform DER -in "$data/big.p7m" -outform SMIME -out "$data/big-smime.p7m"
    boundary='----=_Part_bench_7d3a'
    {
        printf 'MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary="%s"\r\n\r\n' "$boundary"
        printf -- '--%s\r\nContent-Type: application/pkcs7-mime; name="big.p7m"\r\n' "$boundary"
        printf 'Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename="big.p7m"\r\n\r\n'
        base64 -w 76 "$data/big.p7m" | sed 's/$/\r/'
        printf -- '\r\n--%s\r\nContent-Type: application/timestamp-reply; name="big.tsr"\r\n' "$boundary"
        printf 'Content-Transfer-Encoding: binary\r\nContent-Disposition: attachment; filename="big.tsr"\r\n\r\n'
        cat "$repo/tests/fixtures/m7m/document.txt.tsr"
        printf -- '\r\n--%s--\r\n' "$boundary"
    } > "$data/big.m7m"
    echo "$megabytes" > "$data/megabytes"
    rm -f "$data/big-ber.p7m"
fi
if [ ! -s "$data/big-ber.p7m" ]; then
    head -c $((megabytes * 1024 * 1024)) /dev/urandom > "$data/document.bin"
    openssl cms -sign -stream -nodetach -binary -outform DER -md sha256 -in "$data/document.bin" \
        -signer "$pki/signer-legal.cert.pem" -inkey "$pki/signer-legal.key.pem" -out "$data/big-ber.p7m"
    rm -f "$data/document.bin"
fi

. "$repo/tests/bench/verifier-bench-lib.sh"

# The same with the CRL check on, as installed: the test authority's current list in the user's
# own cache under the name its URL gives it, so that the check reads it and downloads nothing.
sed 's/"VerificaCRL"=dword:00000000/"VerificaCRL"=dword:00000001/' "$work/user.reg" > "$work/user-crl.reg"
crl_url=http://127.0.0.1:8799/crl/accredited-ca.crl
crl_name=
for ((i = 0; i < ${#crl_url}; ++i)); do
    c=${crl_url:i:1}
    case $c in
    [A-Za-z0-9.]) crl_name+=$c ;;
    *) crl_name+=$(printf '_%02x' "'$c") ;;
    esac
done
mkdir -p "$XDG_CACHE_HOME/velin-manager/crl"
cp "$pki/crl/accredited-ca.crl" "$XDG_CACHE_HOME/velin-manager/crl/$crl_name.crl"
chmod 700 "$XDG_CACHE_HOME" "$XDG_CACHE_HOME/velin-manager" "$XDG_CACHE_HOME/velin-manager/crl"

# Warm the page cache so that neither side pays for the first read of a file.
cat "$data"/big* > /dev/null

printf '%-10s %8s %8s %8s | %8s %8s | %8s %8s | %7s %7s\n' form "ours s" "RSS MB" "anon MB" "dgst s" "t/dgst" \
    "cms s" "cms MB" "t/cms" "outcome"
row() {
    local form=$1 file=$2 inform=${3:-} ref_file=${4:-$2}
    measure "$form-ours" "$program" --batch "$file"
    local ours=$seconds ours_kb=$kilobytes
    anon_peak "$program" --batch "$file"
    measure "$form-dgst" openssl dgst -sha256 "$file"
    local dgst=$seconds
    local cms=0 cms_kb=0
    if [ -n "$inform" ]; then
        measure "$form-ref" openssl cms -verify -noverify -binary -inform "$inform" -in "$ref_file" -out /dev/null
        cms=$seconds cms_kb=$kilobytes
    fi
    local outcome
    outcome=$(grep -q 'Il documento è firmato correttamente e integro\.' "$work/$form-ours.out" && echo integro ||
        grep -o 'Esito: .*' "$work/$form-ours.out" | head -1 | cut -c8-40)
    awk -v f="$form" -v o="$ours" -v ok="$ours_kb" -v a="$anon" -v d="$dgst" -v c="$cms" -v ck="$cms_kb" -v r="$outcome" 'BEGIN {
        printf "%-10s %8.2f %8.0f %8.1f | %8.2f %8.2f | %8.2f %8.0f | %7s %s\n", f, o, ok / 1024, a / 1024, d, (d > 0 ? o / d : 0),
            c, ck / 1024, (c > 0 ? sprintf("%.2f", o / c) : "-"), r
    }'
}
row der "$data/big.p7m" DER
row base64 "$data/big-base64.p7m" PEM "$data/big-pem.cms"
row pem "$data/big-pem.cms" PEM
row smime "$data/big-smime.p7m" SMIME
row ber "$data/big-ber.p7m" DER
row m7m "$data/big.m7m"
echo "Targets: der t/dgst <= 1.5; base64, pem, smime, m7m t/dgst <= 2.5; anon <= 64 MB for every file."

# Large and hostile files, on request (HOSTILE=1): made once in the data folder.
if [ "${HOSTILE:-0}" = 1 ]; then
    if [ ! -s "$data/huge.p7m" ]; then
        echo "Generating the 2 GB envelope and the hostile files in $data ..." >&2
        # Too large for `openssl cms -sign -nodetach`: signed detached, then the document put in.
        head -c $((2048 * 1024 * 1024 - 4096)) /dev/urandom > "$data/huge.bin"
        openssl cms -sign -binary -outform DER -md sha256 -in "$data/huge.bin" \
            -signer "$pki/signer-legal.cert.pem" -inkey "$pki/signer-legal.key.pem" -out "$data/huge.p7s"
        "$attach_tool" "$data/huge.p7s" "$data/huge.bin" "$data/huge.p7m"
        rm -f "$data/huge.bin" "$data/huge.p7s"
        truncate -s 3900M "$data/zeros.p7m"
        head -c $((768 * 1024 * 1024)) /dev/urandom | base64 -w 0 > "$data/line.p7m"
        "$signers_tool" "$data/signers.p7m" 100000
    fi
    if [ ! -s "$data/signers-legal.p7m" ]; then
        # The same number of signers of the test authority, whose list the CRL check reads.
        openssl cms -sign -nodetach -binary -outform DER -md sha256 -in "$pki/documents/contratto.txt" \
            -signer "$pki/signer-legal.cert.pem" -inkey "$pki/signer-legal.key.pem" -out "$work/one-legal.p7m"
        "$signers_tool" "$data/signers-legal.p7m" 100000 "$work/one-legal.p7m"
    fi
    row huge "$data/huge.p7m"
    row zeros "$data/zeros.p7m"
    row line "$data/line.p7m"
    row signers "$data/signers.p7m"
    VELIN_USER_REGISTRY=$work/user-crl.reg row signers-crl "$data/signers.p7m"
    row legal-off "$data/signers-legal.p7m"
    VELIN_USER_REGISTRY=$work/user-crl.reg row legal-crl "$data/signers-legal.p7m"
    echo "Targets: huge anon <= 64 MB; zeros and line refused from their first bytes; signers <= 3 s and 200 MB,"
    echo "with the CRL check off and on (-crl: on, the authority's list read from the user's cache)."
fi
