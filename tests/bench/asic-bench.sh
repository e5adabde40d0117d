#!/bin/bash
# Times `velin-verify --batch` on a signature container of many files against one hash pass over
# the same files (`openssl dgst -sha256` over all of them), and measures its peak memory: a CAdES
# ASiC-E of COUNT files of MEGABYTES each of random bytes (incompressible), listed with their
# digests by one ASiCManifest signed by the test PKI's legal signer, once with the files stored and
# once deflated. Then times the hostile containers, which must be refused quickly and without
# inflating what they announce: one entry inflating past the limit of a file, several each under
# it but together past the limit of the container, one that declares 1 KiB and inflates to
# 100 MiB, 10,000 entries, and a central directory cut short. Prints the best wall time of the runs, the peak resident memory and the peak of the memory
# not backed by the file (anonymous). Run by hand:
#     tests/bench/asic-bench.sh [BUILD_FOLDER] [DATA_FOLDER] [COUNT] [MEGABYTES]
# The generated files are kept in DATA_FOLDER (made once, reused by later runs); without it a
# temporary folder is used and removed.
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$repo/build}
data=${2:-}
count=${3:-100}
megabytes=${4:-1}
program=$build/bin/velin-verify
[ -x "$program" ] || { echo "velin-verify not built in $build" >&2; exit 1; }
pki=$repo/tests/fixtures/pki

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
[ -n "$data" ] || data=$work/data
mkdir -p "$data"
data=$(cd "$data" && pwd)

if [ ! -s "$data/stored.asice" ] || [ "$(cat "$data/shape" 2>/dev/null)" != "$count x $megabytes" ]; then
    echo "Generating $count files of $megabytes MB and the containers in $data ..." >&2
    rm -rf "$data/files"
    mkdir -p "$data/files"
    for ((n = 1; n <= count; ++n)); do
        head -c $((megabytes * 1024 * 1024)) /dev/urandom > "$(printf '%s/files/allegato-%03d.bin' "$data" "$n")"
    done
    python3 - "$data" <<'PY'
import base64, hashlib, os, sys
data = sys.argv[1]
references = ''.join(
    f'<DataObjectReference URI="{name}" MimeType="application/octet-stream">'
    '<ds:DigestMethod Algorithm="http://www.w3.org/2001/04/xmlenc#sha256"/>'
    f'<ds:DigestValue>{base64.b64encode(hashlib.sha256(open(os.path.join(data, "files", name), "rb").read()).digest()).decode()}'
    '</ds:DigestValue></DataObjectReference>' for name in sorted(os.listdir(os.path.join(data, 'files'))))
open(os.path.join(data, 'manifest.xml'), 'w').write(
    '<?xml version="1.0" encoding="UTF-8" standalone="no"?>\n'
    '<ASiCManifest xmlns="http://uri.etsi.org/02918/v1.2.1#" xmlns:ds="http://www.w3.org/2000/09/xmldsig#">'
    '<SigReference URI="META-INF/signature001.p7s" MimeType="application/pkcs7-signature"/>'
    f'{references}</ASiCManifest>\n')
PY
    openssl cms -sign -binary -cades -md sha256 -outform DER -in "$data/manifest.xml" \
        -signer "$pki/signer-legal.cert.pem" -inkey "$pki/signer-legal.key.pem" -out "$data/signature.p7s"
    python3 - "$data" <<'PY'
import os, sys, zipfile
data = sys.argv[1]
names = sorted(os.listdir(os.path.join(data, 'files')))
for label, method in (('stored', zipfile.ZIP_STORED), ('deflated', zipfile.ZIP_DEFLATED)):
    with zipfile.ZipFile(os.path.join(data, f'{label}.asice'), 'w') as archive:
        archive.writestr(zipfile.ZipInfo('mimetype'), b'application/vnd.etsi.asic-e+zip')
        for name in names:
            archive.write(os.path.join(data, 'files', name), name, compress_type=method)
        archive.write(os.path.join(data, 'manifest.xml'), 'META-INF/ASiCManifest001.xml', compress_type=method)
        archive.write(os.path.join(data, 'signature.p7s'), 'META-INF/signature001.p7s', compress_type=method)
PY
    echo "$count x $megabytes" > "$data/shape"
fi

# The hostile containers, small files made each time.
python3 - "$work" "$data/signature.p7s" <<'PY'
import sys, zipfile
work, signature = sys.argv[1], open(sys.argv[2], 'rb').read()
def zeros(archive, name, megabytes):
    info = zipfile.ZipInfo(name)
    info.compress_type = zipfile.ZIP_DEFLATED
    with archive.open(info, 'w', force_zip64=True) as entry:
        block = bytes(1024 * 1024)
        for _ in range(megabytes):
            entry.write(block)
def container(name, fill):
    with zipfile.ZipFile(f'{work}/{name}', 'w', zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(zipfile.ZipInfo('mimetype'), b'application/vnd.etsi.asic-e+zip')
        fill(archive)
        archive.writestr(zipfile.ZipInfo('META-INF/signature.p7s'), signature)
# One file of 1 GiB of zeros (about 1 MB deflated).
container('bomb-one.asice', lambda archive: zeros(archive, 'zeri.bin', 1024))
# Eight files of 200 MiB each: every one under the limit of a file, 1.6 GiB together.
container('bomb-many.asice', lambda archive: [zeros(archive, f'zeri-{n}.bin', 200) for n in range(8)])
# 100 MiB of zeros whose headers declare 1 KiB: the inflating must stop at the declared size.
container('bomb-lying.asice',
          lambda archive: archive.writestr(zipfile.ZipInfo('zeri.bin'), bytes(100 << 20), zipfile.ZIP_DEFLATED))
lying = bytearray(open(f'{work}/bomb-lying.asice', 'rb').read())
local = zipfile.ZipFile(f'{work}/bomb-lying.asice').getinfo('zeri.bin').header_offset
central = lying.find(b'PK\x01\x02')
while lying[central + 46:central + 54] != b'zeri.bin':
    central = lying.find(b'PK\x01\x02', central + 4)
lying[local + 22:local + 26] = (1024).to_bytes(4, 'little')
lying[central + 24:central + 28] = (1024).to_bytes(4, 'little')
open(f'{work}/bomb-lying.asice', 'wb').write(lying)
container('entries-10000.asice',
          lambda archive: [archive.writestr(zipfile.ZipInfo(f'file-{n:05}.txt'), b'x') for n in range(10000)])
whole = open(f'{work}/entries-10000.asice', 'rb').read()
# The central directory cut short in the middle.
open(f'{work}/damaged.asice', 'wb').write(whole[:len(whole) - 300000])
PY

. "$repo/tests/bench/verifier-bench-lib.sh"

# The layer's outcome, its first error and the number of files its signatures cover.
outcome() {
    python3 -c 'import json, sys
l = json.load(open(sys.argv[1]))["layers"][0]
errors = [a["text"] for a in l["activity"] if a["severity"] == "error"]
covered = sum(len(s["covers"] or []) for s in l["signatures"])
print(l["outcome"], "|", errors[0] if errors else "-", f"| {covered} file coperti" if covered else "")' "$1" 2>/dev/null ||
        head -c 120 "$1"
}

cat "$data"/*.asice "$data"/files/* > /dev/null
echo "Machine: $(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), load $(cut -d' ' -f1 /proc/loadavg)"
measure dgst openssl dgst -sha256 "$data"/files/*
dgst=$seconds
printf '%-10s %8s %8s %8s | %8s %8s | %s\n' form "ours s" "RSS MB" "anon MB" "dgst s" "t/dgst" outcome
for form in stored deflated; do
    measure "$form" "$program" --batch --json "$data/$form.asice"
    anon_peak "$program" --batch "$data/$form.asice"
    awk -v f="$form" -v o="$seconds" -v ok="$kilobytes" -v a="$anon" -v d="$dgst" -v r="$(outcome "$work/$form.out")" 'BEGIN {
        printf "%-10s %8.2f %8.0f %8.1f | %8.2f %8.2f | %s\n", f, o, ok / 1024, a / 1024, d, (d > 0 ? o / d : 0), r
    }'
done
echo "Target: t/dgst <= 1.5, anonymous memory bounded by the container's limits."
echo
printf '%-20s %8s %8s %8s | %s\n' hostile "size KB" "ours s" "RSS MB" outcome
for file in bomb-one bomb-many bomb-lying entries-10000 damaged; do
    measure "$file" "$program" --batch --json "$work/$file.asice"
    awk -v f="$file" -v s="$(stat -c %s "$work/$file.asice")" -v o="$seconds" -v ok="$kilobytes" \
        -v r="$(outcome "$work/$file.out")" 'BEGIN { printf "%-20s %8.0f %8.2f %8.0f | %s\n", f, s / 1024, o, ok / 1024, r }'
done
