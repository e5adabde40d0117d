#!/bin/bash
# Times reading and verifying a generated trusted list of 300 services (about 3 MB, signed with
# the test signer by xmlsec1) and loading its parsed cache, as every start of the verifier does.
# As a reference in the same run, `xmlsec1 --verify` of the same file. Run by hand:
#     tests/bench/trusted-list-bench.sh [BUILD_FOLDER] [SERVICES]
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$repo/build}" && pwd)
services=${2:-300}
cmake --build "$build" --target trusted_list_bench >/dev/null
tool=$(find "$build" -name trusted_list_bench -type f -perm -u+x | head -1)
[ -x "$tool" ] || { echo "trusted_list_bench not built in $build" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export XDG_RUNTIME_DIR=$work TMPDIR=$work
"$repo/tools/make-test-trusted-lists" --large "$services" "$work/large.xml"
"$tool" "$work/large.xml" "$repo/tests/fixtures/tsl/it-signer.cert.pem" 10
start=$(date +%s%N)
xmlsec1 --verify --pubkey-cert-pem "$repo/tests/fixtures/tsl/it-signer.cert.pem" \
    --id-attr:Id "http://uri.etsi.org/01903/v1.3.2#:SignedProperties" "$work/large.xml" >/dev/null 2>&1
end=$(date +%s%N)
echo "xmlsec1 --verify (riferimento): $(( (end - start) / 1000000 )) ms"
/usr/bin/time -v "$tool" "$work/large.xml" "$repo/tests/fixtures/tsl/it-signer.cert.pem" 1 2>&1 |
    grep -E "Maximum resident" || true
