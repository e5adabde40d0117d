# The library exports the six norax_ functions and nothing else, and carries its SONAME.
set -euo pipefail
library=$1
exported=$(nm -D --defined-only "$library" | awk '$2 ~ /^[TDBVWRi]$/ { sub(/@.*/, "", $3); print $3 }' | sort | tr '\n' ' ')
expected="norax_card_property norax_dll_version norax_error_message norax_read_binary norax_read_ef_dati_personali norax_read_items "
if [ "$exported" != "$expected" ]; then
    echo "FAIL: exported symbols '$exported', expected '$expected'" >&2
    exit 1
fi
soname=$(objdump -p "$library" | awk '$1 == "SONAME" { print $2 }')
[ "$soname" = "libnoraxcard.so.3" ] || { echo "FAIL: SONAME '$soname'" >&2; exit 1; }
# Position-independent, as a shared library must be: no text relocations.
if readelf -d "$library" | grep -q TEXTREL; then
    echo "FAIL: text relocations" >&2
    exit 1
fi
echo "exports: $exported; SONAME $soname"
