#!/bin/bash
# Times the .m7m split on a generated 100 MB part, in binary and in base64 transfer encoding,
# against a reference doing the same amount of plain work on the same input in the same run
# (dd of the file for the binary part, `openssl base64 -d` of the part's text for base64), and
# prints the ratio and the peak memory of both. Run by hand:
#     tests/bench/m7m-bench.sh [BUILD_FOLDER] [MEGABYTES]
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
megabytes=${2:-100}
cmake --build "$build" --target m7m_split_tool >/dev/null
tool=$(find "$build" -name m7m_split_tool -type f -perm -u+x | head -1)
[ -x "$tool" ] || { echo "m7m_split_tool not built in $build" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export XDG_RUNTIME_DIR=$work/runtime TMPDIR=$work
mkdir -p runtime

head -c $((megabytes * 1024 * 1024)) /dev/urandom > content.bin
base64 -w 76 content.bin | sed 's/$/\r/' > content.b64
boundary='----=_Part_bench_9b2e'
reply=$repo/tests/fixtures/m7m/document.txt.tsr

# message <encoding> <content file> <output>
message() {
    {
        printf 'MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary="%s"\r\n\r\n' "$boundary"
        printf -- '--%s\r\nContent-Type: application/pkcs7-mime; name="big.p7m"\r\n' "$boundary"
        printf 'Content-Transfer-Encoding: %s\r\n\r\n' "$1"
        cat "$2"
        printf -- '\r\n--%s\r\nContent-Type: application/timestamp-reply; name="big.tsr"\r\n' "$boundary"
        printf 'Content-Transfer-Encoding: binary\r\n\r\n'
        cat "$reply"
        printf -- '\r\n--%s--\r\n' "$boundary"
    } > "$3"
}
message binary content.bin binary.m7m
message base64 content.b64 base64.m7m

# measure <label> <command...>: sets seconds and kilobytes
measure() {
    local label=$1
    shift
    sync
    /usr/bin/time -v -o "$label.time" "$@" 2>"$label.err" >/dev/null
    seconds=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s }' "$label.time")
    kilobytes=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$label.time")
}

report() {
    local name=$1 ours=$2 ours_kb=$3 ref=$4 ref_kb=$5 ref_name=$6
    awk -v n="$name" -v o="$ours" -v ok="$ours_kb" -v r="$ref" -v rk="$ref_kb" -v rn="$ref_name" 'BEGIN {
        ratio = (r > 0) ? o / r : 0
        printf "%-7s split %6.2f s %6.0f MB peak | %-20s %6.2f s %6.0f MB peak | ratio %.2f\n", n, o, ok / 1024, rn, r, rk / 1024, ratio
    }'
}

echo "$(nproc) cores, $(awk -F': ' '/model name/ { print $2; exit }' /proc/cpuinfo), ${megabytes} MB part"

measure split-binary "$tool" binary.m7m envelope.bin reply.bin
cmp -s envelope.bin content.bin || { echo "binary split gave different bytes" >&2; exit 1; }
cmp -s reply.bin "$reply" || { echo "binary split lost the reply" >&2; exit 1; }
ours=$seconds ours_kb=$kilobytes
measure copy-binary dd if=binary.m7m of=copy.m7m bs=1M
report binary "$ours" "$ours_kb" "$seconds" "$kilobytes" "dd of the file"
rm -f envelope.bin copy.m7m

measure split-base64 "$tool" base64.m7m envelope.bin reply.bin
cmp -s envelope.bin content.bin || { echo "base64 split gave different bytes" >&2; exit 1; }
ours=$seconds ours_kb=$kilobytes
measure decode-base64 openssl base64 -d -in content.b64 -out reference.bin
cmp -s reference.bin content.bin || { echo "openssl gave different bytes" >&2; exit 1; }
report base64 "$ours" "$ours_kb" "$seconds" "$kilobytes" "openssl base64 -d"
for kind in binary base64; do
    echo "  $kind: $(grep 'split in memory' split-$kind.err) (file already read)"
done
