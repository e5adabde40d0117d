#!/usr/bin/env bash
# Installs the build tree into a temporary folder with DESTDIR and checks what lands where.
#   check_install.sh CMAKE BUILD_DIR SOURCE_DIR HAS_VELIN_SIGN HAS_VELIN_PCCHECK
set -euo pipefail
cmake=$1 build=$2 source=$3 has_sign=$4 has_pccheck=$5

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
same() { cmp -s "$1" "$2" || fail "$2 is not a copy of $1"; }
mode() { [ "$(stat -c %a "$1" 2>/dev/null)" = "$2" ] || fail "$1 has mode $(stat -c %a "$1" 2>/dev/null || echo missing), expected $2"; }
has_line() { grep -qxF -- "$2" "$1" 2>/dev/null || fail "$1 lacks the line: $2"; }

for program in velin-verify velin-menu velin-sign velin-dati-carta; do
    [ -x "$build/bin/$program" ] || { echo "FAIL: $build/bin/$program is not built; build the whole tree before this test" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/velin-install-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
root=$work/root
prefix=/opt/velin-manager
if ! DESTDIR=$root "$cmake" --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
    cat "$work/install.log" >&2
    echo "FAIL: cmake --install failed" >&2
    exit 1
fi
p=$root$prefix

data_dir=$(sed -n 's/^VELIN_INSTALL_DATA_DIR:PATH=//p' "$build/CMakeCache.txt")
[ -n "$data_dir" ] || { echo "FAIL: VELIN_INSTALL_DATA_DIR is not in $build/CMakeCache.txt" >&2; exit 1; }
case $data_dir in
    /*) d=$root$data_dir ;;
    *) d=$p/$data_dir ;;
esac

# Nothing may land outside DESTDIR: every path cmake reports installing is under it.
outside=$(grep -E '^-- (Installing|Up-to-date): ' "$work/install.log" | sed -E 's/^-- [A-Za-z-]+: //' | grep -v "^$root/" || true)
[ -z "$outside" ] || fail "installed outside DESTDIR: $outside"

# Programs in bin/, where ../help and ../Licenza.txt are found.
programs=(velin-verify velin-menu velin-dati-carta)
[ "$has_sign" = 1 ] && programs+=(velin-sign)
[ "$has_pccheck" = 1 ] && programs+=(velin-pccheck)
for program in "${programs[@]}"; do
    [ -f "$p/bin/$program" ] && [ -x "$p/bin/$program" ] || fail "$p/bin/$program is missing or not executable"
    [ -f "$p/share/man/man1/$program.1" ] && [ -f "$p/share/man/it/man1/$program.1" ] ||
        fail "$program lacks its English or Italian manual page"
done
if [ "$has_pccheck" = 1 ]; then
    [ "$(readlink "$p/bin/Velin Manager - Verifica PC")" = velin-pccheck ] ||
        fail "bin/Velin Manager - Verifica PC does not lead to velin-pccheck"
fi
same "$source/help/index.htm" "$p/bin/../help/index.htm"
same "$source/LICENSE" "$p/bin/../Licenza.txt"
if [ -d "$source/java" ]; then
    [ -f "$p/java/sigillo.jar" ] || fail "java/sigillo.jar was not installed"
    [ -e "$p/java/pdfbox2.jar" ] || fail "java/pdfbox2.jar does not lead to the distribution's PDFBox"
fi

# The card library and its header.
[ -n "$(find "$p" -path "$p/lib*" -name 'libnoraxcard.so*' -print -quit)" ] || fail "libnoraxcard.so is not installed"
same "$source/include/noraxcard.h" "$p/include/noraxcard.h"
# Its pkg-config file names the prefix given to the installation, not the configured one.
pc=$(find "$p" -path "$p/lib*" -name noraxcard.pc -print -quit)
if [ -z "$pc" ]; then
    fail "noraxcard.pc is not installed"
else
    has_line "$pc" "prefix=$prefix"
    has_line "$pc" "includedir=$prefix/include"
    grep -qx "libdir=$prefix/lib[^ ]*" "$pc" || fail "$pc: libdir is not under $prefix"
fi

# Trusted lists: the demo lists, readable by all, writable by nobody but the administrator.
for list in cnipa.sst cnipa.sst.p7s cns.sst user.sst; do
    same "$source/tests/fixtures/pki/velin-data/data/$list" "$d/data/$list"
    mode "$d/data/$list" 644
done
mode "$d/data" 755
# The revocation lists of the installation: a read-only seed with the demo CRLs; nobody but the
# administrator writes there (users download into a cache of their own).
mode "$d/cache" 755
for crl in accredited_2dca card_2droot; do
    seeded="$d/cache/http_3a_2f_2f127.0.0.1_3a8799_2fcrl_2f$crl.crl.crl"
    same "$source/tests/fixtures/pki/crl/${crl/_2d/-}.crl" "$seeded"
    mode "$seeded" 644
done

# Desktop entries and the MIME package.
verify_entry=$p/share/applications/velin-verify.desktop
menu_entry=$p/share/applications/velin-menu.desktop
sign_entry=$p/share/applications/velin-sign.desktop
card_entry=$p/share/applications/velin-dati-carta.desktop
has_line "$verify_entry" "Name=Velin Manager - Verifica firma"
has_line "$verify_entry" "Exec=velin-verify %f"
has_line "$verify_entry" "MimeType=application/pkcs7-mime;application/pkcs7-signature;application/x-velin-m7m;application/timestamped-data;application/timestamp-reply;application/x-velin-timestamp-token;application/vnd.etsi.asic-s+zip;application/vnd.etsi.asic-e+zip;"
has_line "$menu_entry" "Exec=velin-menu"
has_line "$sign_entry" "Exec=velin-sign %F"
has_line "$card_entry" "Exec=velin-dati-carta"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$verify_entry" "$menu_entry" "$sign_entry" "$card_entry" || fail "desktop-file-validate refuses the entries"
fi
if [ "$has_pccheck" = 1 ]; then
    pccheck_entry=$p/share/applications/velin-pccheck.desktop
    has_line "$pccheck_entry" "Name=Velin Manager - Verifica PC"
    has_line "$pccheck_entry" "Exec=velin-pccheck"
    if command -v desktop-file-validate >/dev/null; then
        desktop-file-validate "$pccheck_entry" || fail "desktop-file-validate refuses $pccheck_entry"
    fi
fi
package=$p/share/mime/packages/velin-manager.xml
[ -f "$package" ] || fail "$package is missing"
if command -v update-mime-database >/dev/null && [ -f "$package" ]; then
    # The real tool builds a database from the package alone: both globs must come out of it.
    mkdir -p "$work/mime/packages"
    cp "$package" "$work/mime/packages/"
    update-mime-database "$work/mime" 2>"$work/mime.log" || fail "update-mime-database refuses the package: $(cat "$work/mime.log")"
    grep -q ':application/pkcs7-mime:\*\.p7m' "$work/mime/globs2" || fail "*.p7m is not application/pkcs7-mime"
    grep -q ':application/x-velin-m7m:\*\.m7m' "$work/mime/globs2" || fail "*.m7m is not application/x-velin-m7m"
    grep -q ':application/pkcs7-signature:\*\.p7s' "$work/mime/globs2" || fail "*.p7s is not application/pkcs7-signature"
    grep -q ':application/timestamped-data:\*\.tsd' "$work/mime/globs2" || fail "*.tsd is not application/timestamped-data"
    grep -q ':application/timestamp-reply:\*\.tsr' "$work/mime/globs2" || fail "*.tsr is not application/timestamp-reply"
    grep -q ':application/vnd.etsi.asic-e+zip:\*\.bdoc' "$work/mime/globs2" || fail "*.bdoc is not application/vnd.etsi.asic-e+zip"
    grep -q ':application/vnd.etsi.asic-s+zip:\*\.asics' "$work/mime/globs2" || fail "*.asics is not application/vnd.etsi.asic-s+zip"
else
    grep -q 'pattern="\*\.m7m"' "$package" || fail "$package declares no *.m7m"
fi

# Samples: every document scripts/run-demo verifies, and the note that describes them.
samples=$p/share/velin-manager/esempi
[ -f "$samples/LEGGIMI.txt" ] || fail "esempi/LEGGIMI.txt is missing"
demo_files=$(sed -n 's/^ *"\([^|"]*\)|.*/\1/p' "$source/scripts/run-demo")
[ -n "$demo_files" ] || fail "no sample found in scripts/run-demo"
for file in $demo_files; do
    name=${file##*/}
    [ -f "$samples/$name" ] || fail "sample $name (verified by run-demo) is not installed"
    grep -qF "$name" "$samples/LEGGIMI.txt" || fail "LEGGIMI.txt does not describe $name"
done

# The installed verifier reads the installed data: a legal signature succeeds and the revoked one
# is found revoked from the seeded cache, without a server.
run=$work/run
mkdir -p "$run"
verify() {
    env -i PATH=/usr/bin:/bin HOME="$run" XDG_RUNTIME_DIR="$run" TMPDIR="$run" \
        VELIN_DATA_DIR="$d" VELIN_USER_REGISTRY="$run/user.reg" VELIN_MACHINE_REGISTRY="$run/machine.reg" \
        QT_QPA_PLATFORM=offscreen "$p/bin/velin-verify" --batch "$samples/$1"
}
status=0
verify contratto-signer-legal.txt.p7m >"$work/legal.txt" 2>&1 || status=$?
[ "$status" = 0 ] || fail "installed velin-verify: legal sample ended with $status: $(cat "$work/legal.txt")"
status=0
verify contratto-signer-revoked.txt.p7m >"$work/revoked.txt" 2>&1 || status=$?
[ "$status" = 2 ] && grep -qF "Il certificato è stato revocato." "$work/revoked.txt" ||
    fail "installed velin-verify: revoked sample ended with $status: $(cat "$work/revoked.txt")"
# The user's own cache is private; the seed was only read.
mode "$run/.cache/velin-manager/crl" 700
[ "$(ls "$d/cache" | wc -l)" = 2 ] || fail "the verifier wrote into the seed $d/cache: $(ls "$d/cache")"

if [ "$failures" -gt 0 ]; then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "install layout OK under $prefix and $data_dir"
