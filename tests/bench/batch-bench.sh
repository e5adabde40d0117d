#!/bin/bash
# Times many small envelopes verified in one process: `velin-verify --batch --json --stdin` with
# --jobs 1 and --jobs 2, against a shell loop running `openssl cms -verify -noverify -binary` once
# per file (the signature and the document's digest are checked, the certificate chain is not:
# -noverify). Every file is a DER .p7m of 5 to 50 KB of random bytes signed by the test PKI's
# signer-legal with `openssl cms -sign`. Run by hand:
#     tests/bench/batch-bench.sh [BUILD_FOLDER] DATA_FOLDER [COUNT]
# The envelopes are made once into DATA_FOLDER (COUNT of them, 10000 unless given; making 10000
# takes a few minutes) and reused by later runs. Prints the machine's load before and after, the
# wall time of each way (best of RUNS, 3 unless given; the openssl loop, which takes minutes, best
# of REFERENCE_RUNS, RUNS unless given), files per second and the ratios.
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$repo/build}
data=${2:?"usage: $0 [BUILD_FOLDER] DATA_FOLDER [COUNT]"}
count=${3:-10000}
program=$build/bin/velin-verify
[ -x "$program" ] || { echo "velin-verify not built in $build" >&2; exit 1; }
pki=$repo/tests/fixtures/pki

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$data"
data=$(cd "$data" && pwd)

# The envelopes, made once: envelopes/NNNNN.p7m, two signers of openssl at a time.
if [ "$(cat "$data/count" 2>/dev/null)" != "$count" ]; then
    echo "Generating $count envelopes of 5-50 KB in $data ..." >&2
    rm -rf "$data/envelopes"
    mkdir -p "$data/envelopes"
    seq -f '%05.0f' 1 "$count" | xargs -P 2 -n 50 bash -c '
        for n in "$@"; do
            size=$(( 5120 + RANDOM * 32768 % 46081 ))
            head -c "$size" /dev/urandom > "'"$data"'/envelopes/$n.bin"
            openssl cms -sign -nodetach -binary -outform DER -md sha256 -in "'"$data"'/envelopes/$n.bin" \
                -signer "'"$pki"'/signer-legal.cert.pem" -inkey "'"$pki"'/signer-legal.key.pem" \
                -out "'"$data"'/envelopes/$n.p7m"
            rm -f "'"$data"'/envelopes/$n.bin"
        done' _
    echo "$count" > "$data/count"
fi
ls "$data/envelopes"/*.p7m > "$work/list"
[ "$(wc -l < "$work/list")" -eq "$count" ] || { echo "expected $count envelopes in $data/envelopes" >&2; exit 1; }

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
export XDG_DATA_HOME=$work/user-data

openssl_loop() {
    while IFS= read -r file; do
        openssl cms -verify -noverify -binary -inform DER -in "$file" -out /dev/null 2>/dev/null
    done < "$work/list"
}

# measure <label> <command...>: sets seconds, the best of $runs runs (the machine is shared, so the
# fastest run is the one least disturbed).
runs=${RUNS:-3}
reference_runs=${REFERENCE_RUNS:-$runs}
measure() {
    local label=$1 run start end best=''
    shift
    for ((run = 0; run < runs; ++run)); do
        start=$(date +%s.%N)
        "$@" < "$work/list" > "$work/$label.out" 2> "$work/$label.err" || true
        end=$(date +%s.%N)
        seconds=$(awk -v a="$start" -v b="$end" 'BEGIN { print b - a }')
        if [ -z "$best" ] || awk -v a="$seconds" -v b="$best" 'BEGIN { exit !(a < b) }'; then
            best=$seconds
        fi
    done
    seconds=$best
}

cat "$data/envelopes"/*.p7m > /dev/null
echo "Machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'); load before: $(cut -d' ' -f1-3 /proc/loadavg)"
measure jobs1 "$program" --batch --json --jobs 1 --stdin
jobs1=$seconds
measure jobs2 "$program" --batch --json --jobs 2 --stdin
jobs2=$seconds
runs=$reference_runs measure openssl openssl_loop
reference=$seconds
echo "Load after: $(cut -d' ' -f1-3 /proc/loadavg)"

printf '%-34s %9s %11s\n' way seconds files/s
for row in "velin-verify --jobs 1:$jobs1" "velin-verify --jobs 2:$jobs2" "openssl cms -verify loop:$reference"; do
    awk -v l="${row%%:*}" -v s="${row##*:}" -v n="$count" 'BEGIN { printf "%-34s %9.2f %11.0f\n", l, s, n / s }'
done
awk -v r="$reference" -v a="$jobs1" -v b="$jobs2" 'BEGIN {
    printf "openssl loop / --jobs 2: %.1fx (target >= 10); --jobs 1 / --jobs 2: %.2fx (target >= 1.8)\n", r / b, a / b
}'
# Every file must have its own line, and each must read as intact (revocation off: warnings).
for label in jobs1 jobs2; do
    lines=$(wc -l < "$work/$label.out")
    intact=$(grep -c 'Il documento è firmato correttamente e integro' "$work/$label.out" || true)
    echo "  --${label/jobs/jobs }: $lines lines, $intact intact"
    [ -s "$work/$label.err" ] && echo "  stderr: $(head -c 300 "$work/$label.err")"
done
exit 0
