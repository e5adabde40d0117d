#!/bin/bash
# PDF verification and signing in the Java machine:
#   1. a signed PDF of VERIFY_MB megabytes verified twice in one process (the first time starts the
#      machine), against pdfsig (poppler-utils) on the same file;
#   2. a PDF of SIGN_MB megabytes signed with the legal test signer's key on a SoftHSM token: the
#      peak resident memory against the file's size;
#   3. with MANY, a PDF signed MANY times, one revision each (the generator writes the revisions
#      itself: 1,000 take seconds), verified twice in one process, then by velin-verify --batch
#      and --batch --json, each a process of its own with the machine's start, and by pdfsig;
#   4. the first PDF: the signed PDF of step 1 verified by velin-verify --batch in a new process,
#      with the class archive, without it (a copy of the program beside the same jars), and with
#      the program of BEFORE (another build folder) when given; then FILES small signed PDFs
#      (default 1,000) in one velin-verify --batch run against pdfsig on each of them. Timed with
#      hyperfine (Debian package hyperfine); on a loaded machine the processor time (user + sys)
#      is the steadier figure, and REALTIME=1 runs the timed programs of this step at real-time
#      priority (chrt -f 1, as root), so that other work on the machine waits for them: their
#      wall time is then near what they take at rest, though memory and caches are still shared.
# Run by hand (KEEP_WORK=1 keeps the work folder with the documents and the signed one):
#     [BEFORE=OTHER_BUILD] [FILES=N] [RUNS=N] [REALTIME=1] tests/bench/pdf-bench.sh [BUILD_FOLDER] [VERIFY_MB] [SIGN_MB] [MANY]
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$repo/build}
verify_mb=${2:-1}
sign_mb=${3:-10}
many=${4:-0}
module=/usr/lib/softhsm/libsofthsm2.so
pki=$repo/tests/fixtures/pki
ninja -C "$build" pdf_tool make_test_pdfs sigillo sigillo_archive velin-verify >/dev/null
tool=$(find "$build" -name pdf_tool -type f -perm -u+x -print -quit)
generator=$(find "$build" -name make_test_pdfs.jar -print -quit)
classes=$generator:$(find "$build/java" -name '*.jar' ! -name sigillo.jar | tr '\n' ':')

work=$(mktemp -d)
if [ -n "${KEEP_WORK:-}" ]; then echo "work folder: $work"; else trap 'rm -rf "$work"' EXIT; fi
echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"

java -cp "$classes" Make_test_pdfs "$work/verify" "$pki" "$verify_mb" 2>/dev/null
pdf=$work/verify/big.pdf
echo "signed PDF: $(stat -c %s "$pdf") bytes"
"$tool" verify "$pdf" "$pdf"
start=$(date +%s.%N)
pdfsig "$pdf" >/dev/null 2>&1 || true
printf 'pdfsig: %.3f s\n' "$(echo "$(date +%s.%N) - $start" | bc)"

mkdir -p "$work/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/tokens" > "$work/softhsm2.conf"
export SOFTHSM2_CONF=$work/softhsm2.conf
label="Lettore bench"
softhsm2-util --init-token --free --label "$label" --so-pin 12345678 --pin 12345 >/dev/null
openssl pkcs8 -topk8 -nocrypt -in "$pki/signer-legal.key.pem" -outform DER -out "$work/key.p8"
openssl pkey -in "$pki/signer-legal.key.pem" -pubout -outform DER -out "$work/key.pub"
openssl x509 -in "$pki/signer-legal.cert.pem" -outform DER -out "$work/cert.der"
p11() { pkcs11-tool --module "$module" --token-label "$label" --login --pin 12345 "$@" >/dev/null; }
p11 --write-object "$work/key.p8" --type privkey --id 01 --label signer --usage-sign
p11 --write-object "$work/key.pub" --type pubkey --id 01 --label signer
p11 --write-object "$work/cert.der" --type cert --id 01 --label signer

java -cp "$classes" Make_test_pdfs "$work/sign" "$pki" "$sign_mb" 2>/dev/null
document=$work/sign/big-plain.pdf
size_kib=$(( $(stat -c %s "$document") / 1024 ))
java -cp "$classes" Make_test_pdfs "$work/small" "$pki" 2>/dev/null
line=$("$tool" sign "$module" "$label" 12345 "$document" "$work/small/plain.pdf")
echo "$line"
peak=$(echo "$line" | sed -n 's/.*peak \([0-9]*\) KiB (\([0-9]*\).*/\1/p')
base=$(echo "$line" | sed -n 's/.*peak \([0-9]*\) KiB (\([0-9]*\).*/\2/p')
printf '%d KiB document: peak %d KiB, %d KiB above the warm machine (%.2f x the document)\n' \
    "$size_kib" "$peak" "$((peak - base))" "$(echo "($peak - $base) / $size_kib" | bc -l)"
pdfsig "$document.signed.pdf" 2>&1 | grep -m1 "Signature Validation" || true

if [ "$many" -gt 0 ]; then
    start=$(date +%s.%N)
    java -cp "$classes" Make_test_pdfs "$work/many" "$pki" many "$many" 2>/dev/null
    printf 'PDF signed %d times: %d bytes, made in %.1f s\n' "$many" "$(stat -c %s "$work/many/many.pdf")" \
        "$(echo "$(date +%s.%N) - $start" | bc)"
    "$tool" verify "$work/many/many.pdf" "$work/many/many.pdf"
    verifier=$build/bin/velin-verify
    mkdir -p "$work/home"
    for form in --batch "--batch --json"; do
        # A home of its own (no trusted lists: the signers' trust is not known); the status is not
        # 0, since every signature but the last is followed by a later revision.
        /usr/bin/time -f '%e %U %S' -o "$work/many/time.txt" env -u XDG_CONFIG_HOME -u XDG_DATA_HOME \
            -u XDG_CACHE_HOME HOME="$work/home" "$verifier" $form "$work/many/many.pdf" \
            >"$work/many/report.txt" 2>/dev/null || true
        read -r wall user system < <(tail -1 "$work/many/time.txt")
        printf 'velin-verify %s: %.2f s (processor %.2f s), %d signers reported\n' "$form" "$wall" \
            "$(echo "$user + $system" | bc)" "$(grep -o 'ROSSI MARIO' "$work/many/report.txt" | wc -l)"
    done
    start=$(date +%s.%N)
    valid=$(pdfsig "$work/many/many.pdf" 2>/dev/null | grep -c 'Signature is Valid' || true)
    printf 'pdfsig: %.3f s, %d valid\n' "$(echo "$(date +%s.%N) - $start" | bc)" "$valid"
fi

# 4. The first PDF in a new process, and many small ones in one run.
runs=${RUNS:-10}
files=${FILES:-1000}
verifier=$build/bin/velin-verify
mkdir -p "$work/cold/home" "$work/cold/bin" "$work/cold/java"
cp "$verifier" "$work/cold/bin/"
for jar in "$build"/java/*.jar; do ln -s "$(readlink -f "$jar")" "$work/cold/java/$(basename "$jar")"; done
# A home of its own, as above: the same work for every program compared.
quiet="env -u XDG_CONFIG_HOME -u XDG_DATA_HOME -u XDG_CACHE_HOME HOME=$work/cold/home"
commands=("$quiet $verifier --batch $pdf" "$quiet $work/cold/bin/velin-verify --batch $pdf" "pdfsig $pdf")
names=("velin-verify, class archive" "velin-verify, no archive" "pdfsig")
if [ -n "${BEFORE:-}" ]; then
    commands+=("$quiet $BEFORE/bin/velin-verify --batch $pdf")
    names+=("velin-verify of $BEFORE")
fi
realtime=()
if [ -n "${REALTIME:-}" ]; then realtime=(chrt -f 1); fi
echo "load before the runs: $(cut -d' ' -f1-3 /proc/loadavg)${REALTIME:+ (timed at real-time priority)}"
for i in "${!commands[@]}"; do
    "${realtime[@]}" hyperfine -N -i -w 2 -r "$runs" --export-json "$work/cold/$i.json" "${commands[$i]}" >/dev/null 2>&1
    python3 - "$work/cold/$i.json" "${names[$i]}" <<'PY'
import json, statistics, sys
result = json.load(open(sys.argv[1]))["results"][0]
times = result["times"]
print(f"{sys.argv[2]}: median {statistics.median(times):.3f} s (min {min(times):.3f}, max {max(times):.3f}), "
      f"processor {result['user'] + result['system']:.3f} s on average")
PY
done

mkdir -p "$work/files"
java -cp "$classes" Make_test_pdfs "$work/files/made" "$pki" 2>/dev/null
for ((i = 0; i < files; ++i)); do cp "$work/files/made/signed.pdf" "$work/files/$(printf '%04d' "$i").pdf"; done
list=("$work"/files/*.pdf)
/usr/bin/time -f '%e %U %S' -o "$work/files/ours.txt" "${realtime[@]}" $quiet "$verifier" --batch --json "${list[@]}" \
    >"$work/files/report.jsonl" 2>/dev/null || true
read -r ours_wall ours_user ours_system < <(tail -1 "$work/files/ours.txt")
/usr/bin/time -f '%e %U %S' -o "$work/files/pdfsig.txt" "${realtime[@]}" bash -c 'for f in "$@"; do pdfsig "$f" >/dev/null 2>&1; done' _ "${list[@]}"
read -r theirs_wall theirs_user theirs_system < <(tail -1 "$work/files/pdfsig.txt")
printf '%d signed PDFs: velin-verify --batch --json %.2f s (processor %.2f s, %d reports), pdfsig one by one %.2f s (processor %.2f s): %.2f x\n' \
    "$files" "$ours_wall" "$(echo "$ours_user + $ours_system" | bc)" "$(wc -l < "$work/files/report.jsonl")" \
    "$theirs_wall" "$(echo "$theirs_user + $theirs_system" | bc)" "$(echo "$ours_wall / $theirs_wall" | bc -l)"
