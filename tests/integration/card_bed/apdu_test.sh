#!/usr/bin/env bash
# SELECT and READ BINARY on the regional card through pcscd, sent by opensc-tool.
. "$(dirname "$0")/bed_lib.sh"

log=$CARD_BED_APDU_LOG0
start_line=$(($(wc -l <"$log") + 1))

note "personal data file: FCI size 400, read in chunks of 254 and 146"
out=$(apdu 0 "00 A4 08 00 04 11 00 11 02 00" "00 B0 00 00 FE" "00 B0 00 FE 92")
expect_sw "$out" "9000 9000 9000" "select and read 1100/1102"
fci=$(reply_data "$out" 1)
[[ $fci == 6F\ * ]] || fail "FCI template is not 6F: $fci"
[[ " $fci " == *" 80 02 01 90 "* ]] || fail "FCI has no size 400 in tag 80: $fci"
data="$(reply_data "$out" 2) $(reply_data "$out" 3)"
[ "$(wc -w <<<"$data")" -eq 400 ] || fail "read $(wc -w <<<"$data") bytes, expected 400"
# 6 hex digits of length, then the issuer code field "05RVD01".
[[ $data == "$(hex_of_text "0000")"* ]] || fail "personal data does not start with a hex length: $data"
[[ $data == *"$(hex_of_text "08VERDELLI05MARTA")"* ]] || fail "surname and name fields not found"
[[ $data == *"$(hex_of_text "10VRDMRT85C54L999W")"* ]] || fail "fiscal code field not found"

note "holder certificate: the fixture's DER, then padding"
out=$(apdu 0 "00 A4 08 00 04 11 00 11 01 00")
expect_sw "$out" "9000" "select 1100/1101"
fci=$(reply_data "$out" 1)
size_hex=$(sed -n 's/.* 80 02 \(..\) \(..\) .*/\1\2/p' <<<" $fci ")
[ -n "$size_hex" ] || fail "no size in the certificate FCI: $fci"
size=$((16#$size_hex))
reads=()
for ((offset = 0; offset < size; offset += 254)); do
    n=$((size - offset < 254 ? size - offset : 254))
    reads+=("$(printf '00 B0 %02X %02X %02X' $((offset >> 8)) $((offset & 255)) "$n")")
done
out=$(apdu 0 "00 A4 08 00 04 11 00 11 01 00" "${reads[@]}")
cert=""
for ((i = 2; i <= ${#reads[@]} + 1; i++)); do
    cert+="$(reply_data "$out" "$i") "
done
der=$(hex_of_file "$CARD_BED_FIXTURES/holder-regional.cert.der")
[[ $cert == "$der "* ]] || fail "the card's certificate file does not begin with holder-regional.cert.der"
[ "$(wc -w <<<"$cert")" -eq "$size" ] || fail "certificate file: read $(wc -w <<<"$cert") of $size bytes"

note "catalogue files with fixed paths are all there"
for path in "10 00 10 02" "10 00 10 03" "12 00 12 01" "12 00 12 02" "12 00 12 03" "12 00 41 42"; do
    expect_sw "$(apdu 0 "00 A4 08 00 04 $path 00")" "9000" "select $path"
done
for id in "2F 01" "2F 02" "3F 02" "04 05"; do
    expect_sw "$(apdu 0 "00 A4 08 00 02 $id 00")" "9000" "select $id"
done
out=$(apdu 0 "00 A4 08 00 04 10 00 10 03 00" "00 B0 00 00 10")
[ "$(reply_data "$out" 2)" = "$(hex_of_text 7420091000000001)" ] || fail "card serial: $(reply_data "$out" 2)"

note "Netlink application by name, its directory 2F00"
out=$(apdu 0 "00 A4 00 00 00" "00 A4 04 00 05 A0 00 00 00 73 00" "00 A4 00 00 02 2F 00 00" "00 B0 00 00 04")
expect_sw "$out" "9000 9000 9000 9000" "Netlink selection"
[[ $(reply_data "$out" 4) == 30\ * ]] || fail "2F00 does not start with a SEQUENCE"

note "error status words"
out=$(apdu 0 "00 A4 08 00 04 11 00 99 99 00" "00 A4 08 00 04 11 00 11 02 00" "00 B0 01 90 01" "00 B0 01 80 20" \
    "00 CA 00 00 00" "00 A4 08 00 03 11 00 11 00")
expect_sw "$out" "6A82 9000 6B00 6282 6D00 6700" "missing file, offset beyond, short read, unknown INS, odd path"
[ "$(wc -w <<<"$(reply_data "$out" 4)")" -eq 16 ] || fail "6282 read should return the last 16 bytes"

note "the card's log holds what opensc-tool sent, one line each"
recent=$(tail -n +"$start_line" "$log")
grep -qx '> 00 A4 08 00 04 11 00 11 02 00' <<<"$recent" || fail "SELECT not in $log"
grep -qx '< 6A 82' <<<"$recent" || fail "6A82 reply not in $log"
echo PASS
