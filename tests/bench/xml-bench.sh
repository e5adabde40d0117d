#!/bin/bash
# Times `velin-verify --batch` and its peak memory on XML files shaped to make an XML parser slow or
# large, each under the verifier's 256 MB size limit and holding an (empty) XML signature, so that
# the verifier reads it as signed XML: the largest shapes it refuses (52 million empty elements in
# 200 MB, 200,000 attributes on one element, 16,000 namespaces in scope above a million elements)
# and the largest it still parses, just under each limit (the attributes in under 10 MB: beyond
# that, libxml2 2.9 refuses the attributes of a document read from memory). Each row is one run;
# the verdict is not judged (none of the files is signed). Run by hand:
#     tests/bench/xml-bench.sh [BUILD_FOLDER]
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$repo/build}
program=$build/bin/velin-verify
[ -x "$program" ] || { echo "velin-verify not built in $build" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/run" "$work/data"
export VELIN_DATA_DIR=$work/data VELIN_USER_REGISTRY=$work/user.reg VELIN_MACHINE_REGISTRY=$work/machine.reg
export XDG_RUNTIME_DIR=$work/run TMPDIR=$work/run XDG_CACHE_HOME=$work/cache

python3 - "$work" <<'PY'
import sys
work = sys.argv[1]
def write(name, parts):
    with open(f"{work}/{name}", "w") as out:
        for part in parts:
            out.write(part)
def repeat(text, times, chunk=1 << 16):
    while times > 0:
        n = min(chunk, times)
        yield text * n
        times -= n
signature = '<ds:Signature xmlns:ds="http://www.w3.org/2000/09/xmldsig#"/>'
def attributes(n):
    return " ".join(f'a{i}=""' for i in range(n))
# Refused: more markup than the parser reads in bounded time and memory.
write("elements-52M.xml", ["<r>", *repeat("<a/>", 52_000_000), signature, "</r>"])
write("attributes-200k.xml", ["<r ", attributes(200_000), ">", signature, "</r>"])
nested = "".join(f"<e{d} " + " ".join(f'xmlns:p{d}_{i}="u"' for i in range(256)) + ">" for d in range(64))
write("namespaces-16k.xml", [nested, *repeat("<a/>", 1_000_000), signature, *(f"</e{d}>" for d in reversed(range(64)))])
# Parsed: the largest of each shape under the limits.
write("elements-4M.xml", ["<r>", *repeat("<a/>", 3_999_990), signature, "</r>"])
element = f"<a {attributes(256)}/>\n"
write("attributes-256-each.xml", ["<r>", *repeat(element, 4_500), signature, "</r>"])
scope = "<r " + " ".join(f'xmlns:p{i}="u"' for i in range(127)) + ">"
write("namespaces-128.xml", [scope, *repeat("<a/>", 3_999_000), signature, "</r>"])
PY

printf '%-26s %8s %9s %9s  %s\n' file MB seconds "peak MB" "first line"
for file in elements-52M attributes-200k namespaces-16k elements-4M attributes-256-each namespaces-128; do
    path=$work/$file.xml
    /usr/bin/time -v -o "$work/time" "$program" --batch "$path" >"$work/out" 2>&1 || true
    seconds=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s }' "$work/time")
    kilobytes=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/time")
    line=$(grep -m1 -e 'XML' -e 'firma' "$work/out" || true)
    printf '%-26s %8d %9s %9d  %s\n' "$file" $(($(stat -c %s "$path") / 1048576)) "$seconds" $((kilobytes / 1024)) "$line"
    rm -f "$path"
done
