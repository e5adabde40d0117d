#!/bin/bash
# Times `velin-verify --batch` against `openssl cms -verify -noverify -binary` on generated signed
# files of one size: a DER .p7m with one signer, its bare base64 and S/MIME forms, and a .m7m whose
# envelope part is base64 with a time-stamp reply beside it. Prints wall time and peak memory of
# both and their ratios (peak memory is the highest of the runs). Run by hand:
#     tests/bench/verify-bench.sh [BUILD_FOLDER] [DATA_FOLDER] [MEGABYTES]
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
fi

# A private verifier environment: the test trust data, no CRL check (nothing to download).
mkdir -p "$work/run"
cp -r "$pki/velin-data" "$work/velin-data"
cat > "$work/user.reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\SOFTWARE\Valdora Vidizoved\Velin Manager\Impostazioni]
"VerificaCRL"=dword:00000000

REG
export VELIN_DATA_DIR=$work/velin-data
export VELIN_USER_REGISTRY=$work/user.reg
export VELIN_MACHINE_REGISTRY=$work/machine.reg
export XDG_RUNTIME_DIR=$work/run
export TMPDIR=$work/run
export XDG_CACHE_HOME=$work/user-cache

# measure <label> <command...>: sets seconds and kilobytes, the best of $runs runs (the machine is
# shared, so the fastest run is the one least disturbed); the command's exit status is not judged
# (a verdict other than valid ends velin-verify with a non-zero status).
runs=${RUNS:-3}
measure() {
    local label=$1 run best_seconds='' best_kilobytes=''
    shift
    for ((run = 0; run < runs; ++run)); do
        /usr/bin/time -v -o "$work/$label.time" "$@" >"$work/$label.out" 2>"$work/$label.err" || true
        seconds=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s }' "$work/$label.time")
        kilobytes=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/$label.time")
        if [ -z "$best_seconds" ] || awk -v a="$seconds" -v b="$best_seconds" 'BEGIN { exit !(a < b) }'; then
            best_seconds=$seconds
        fi
        if [ -z "$best_kilobytes" ] || [ "$kilobytes" -gt "$best_kilobytes" ]; then
            best_kilobytes=$kilobytes
        fi
    done
    seconds=$best_seconds
    kilobytes=$best_kilobytes
}

# Warm the page cache so that neither side pays for the first read of a file.
cat "$data"/big* > /dev/null

file_kb=$(( $(stat -c %s "$data/big.p7m") / 1024 ))
printf '%-14s %9s %9s | %-24s %9s %9s | %6s %6s\n' form "ours s" "ours MB" reference "ref s" "ref MB" "t/ref" "mem/file"
der_seconds=0
row() {
    local form=$1 file=$2 inform=$3 ref_file=$4
    measure "$form-ours" "$program" --batch "$file"
    local ours=$seconds ours_kb=$kilobytes
    measure "$form-ref" openssl cms -verify -noverify -binary -inform "$inform" -in "$ref_file" -out /dev/null
    local ref=$seconds ref_kb=$kilobytes
    [ "$form" = der ] && der_seconds=$ours
    awk -v f="$form" -v o="$ours" -v ok="$ours_kb" -v r="$ref" -v rk="$ref_kb" -v rn="openssl -inform $inform" -v fk="$file_kb" 'BEGIN {
        printf "%-14s %9.2f %9.0f | %-24s %9.2f %9.0f | %6.2f %6.2f\n", f, o, ok / 1024, rn, r, rk / 1024, (r > 0 ? o / r : 0), ok / fk
    }'
    if ! grep -q . "$work/$form-ours.out"; then
        echo "  (velin-verify printed nothing: $(head -c 300 "$work/$form-ours.err"))"
    fi
}
row der "$data/big.p7m" DER "$data/big.p7m"
row base64 "$data/big-base64.p7m" PEM "$data/big-pem.cms"
row smime "$data/big-smime.p7m" SMIME "$data/big-smime.p7m"
measure m7m-ours "$program" --batch "$data/big.m7m"
awk -v o="$seconds" -v ok="$kilobytes" -v d="$der_seconds" -v fk="$file_kb" 'BEGIN {
    printf "%-14s %9.2f %9.0f | %-24s %9.2f %9s | %6.2f %6.2f\n", "m7m (base64)", o, ok / 1024, "ours on the DER .p7m", d, "", (d > 0 ? o / d : 0), ok / fk
}'
echo "Targets: der t/ref <= 0.35 and mem/file <= 1.5; base64 and smime t/ref <= 1; m7m <= 2x ours on DER."
echo "Outcome of each velin-verify run (the document must read as intact; the m7m's reply stamps another file):"
for form in der base64 smime m7m; do
    printf '  %-7s %s\n' "$form" "$(grep -o 'Il documento è firmato correttamente e integro\.\|La firma non corrisponde al documento\.' "$work/$form-ours.out" | head -1) $(grep -o 'Esito: .*' "$work/$form-ours.out" | head -1)"
done
