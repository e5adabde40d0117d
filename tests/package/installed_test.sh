#!/usr/bin/env bash
# The packages as a user gets them: installs them with apt-get, runs every installed program from
# /usr/bin, builds a C client of the card library through pkg-config and runs it against the card
# bed, has the update run check the real packages, then purges them and checks that the machine is
# as it was: none of their files left, no package added or removed.
#   tests/package/installed_test.sh BUILD_DIR PACKAGE_DIR
# BUILD_DIR: a test build (cns-sim for the card bed, the update run's test); PACKAGE_DIR: the
# output of scripts/package. Needs root, or sudo without a password: it installs packages.
set -euo pipefail
build=$(cd "${1:?usage: installed_test.sh BUILD_DIR PACKAGE_DIR}" && pwd)
packages=$(cd "${2:?usage: installed_test.sh BUILD_DIR PACKAGE_DIR}" && pwd)
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
ours=(velin-manager libnoraxcard3 libnoraxcard-dev)
programs=(velin-verify velin-sign velin-menu velin-pccheck velin-dati-carta)

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
die() { echo "FAIL: $*" >&2; exit 1; }
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo -n "$@"; fi; }

as_root true 2>/dev/null || die "installing packages needs root or sudo without a password"
debs=()
for name in "${ours[@]}"; do
    deb=$(ls "$packages/${name}"_*.deb 2>/dev/null | head -1)
    [ -n "$deb" ] || die "no ${name}_*.deb in $packages: run scripts/package first"
    debs+=("$deb")
done
dpkg_state() { dpkg-query -W -f='${binary:Package} ${Version} ${db:Status-Abbrev}\n' | sort; }
for name in "${ours[@]}"; do
    dpkg_state | grep -q "^${name}[: ]" && die "$name is already known to dpkg: this test would remove it"
done
for program in "${programs[@]}"; do
    [ ! -e "/usr/bin/$program" ] || die "/usr/bin/$program exists already (an installation outside the packages?)"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/velin-package-test.XXXXXX")
bed_dir=$work/bed
state_before=$work/dpkg-before
dpkg_state >"$state_before"
# What the packages hold, and which of their folders the machine already had.
for deb in "${debs[@]}"; do dpkg-deb -c "$deb"; done | awk '{ print substr($0, index($0, "./") + 1) }' |
    sed 's/ -> .*//; s#/$##' | grep -v '^$' | sort -u >"$work/paths"
existing=$work/existing
while IFS= read -r path; do
    [ -e "$path" ] || [ -L "$path" ] && echo "$path"
done <"$work/paths" >"$existing" || true
# The programs' machine settings are the administrator's: they must be as before, too.
if [ -e /etc/velin-manager ]; then echo /etc/velin-manager >>"$existing"; fi

purge() {
    local installed=()
    for name in "${ours[@]}"; do
        dpkg-query -W -f='${db:Status-Abbrev}' "$name" 2>/dev/null | grep -q '^[a-z]' && installed+=("$name")
    done
    # Packages apt added for ours go with them: the machine keeps only what it had.
    local added
    added=$(comm -13 <(cut -d' ' -f1 "$state_before") <(dpkg_state | cut -d' ' -f1) | grep -vxF -f <(printf '%s\n' "${ours[@]}") || true)
    if ((${#installed[@]})) || [ -n "$added" ]; then
        # shellcheck disable=SC2086
        DEBIAN_FRONTEND=noninteractive as_root apt-get purge -y -qq "${installed[@]}" $added >"$work/purge.log" 2>&1 ||
            { cat "$work/purge.log" >&2; return 1; }
    fi
}
cleanup() {
    [ -f "$bed_dir/card-bed.env" ] && CARD_BED_DIR=$bed_dir "$source_dir/tools/card-bed" stop >/dev/null 2>&1
    purge || echo "installed_test: could not purge the packages: remove them by hand" >&2
    rm -rf "$work"
}
trap cleanup EXIT

# The README's own install and purge lines, run as they are written (apt's question answered as a
# user would), from a folder where build-package/ is the packages' folder: the README cannot drift.
mapfile -t readme_installs < <(sed -n 's/^sudo \(apt-get install .*\)$/\1/p' "$source_dir/README.md")
mapfile -t readme_purges < <(sed -n 's/^sudo \(apt-get purge .*\)$/\1/p' "$source_dir/README.md")
((${#readme_installs[@]} >= 2 && ${#readme_purges[@]} == 1)) ||
    die "the README lacks its 'sudo apt-get install' lines or its 'sudo apt-get purge' line"
mkdir -p "$work/readme"
ln -s "$packages" "$work/readme/build-package"
readme_line() {
    echo "-- sudo $1"
    (cd "$work/readme" && { yes || true; } | DEBIAN_FRONTEND=noninteractive as_root bash -c "$1") >>"$work/readme.log" 2>&1 ||
        { cat "$work/readme.log" >&2; return 1; }
}
for line in "${readme_installs[@]}"; do
    readme_line "$line" || die "the README's install line failed"
done
for name in "${ours[@]}"; do
    dpkg-query -W -f='${db:Status-Abbrev}' "$name" 2>/dev/null | grep -q '^ii' || die "the README's lines did not install $name"
done

# Every program from /usr/bin, in a private home: version, help.
mkdir -p "$work/home" "$work/run" "$work/tmp"
chmod 700 "$work/run"
user_env=(env -i PATH=/usr/bin:/bin HOME="$work/home" XDG_RUNTIME_DIR="$work/run" TMPDIR="$work/tmp"
          XDG_DATA_DIRS=/usr/share QT_QPA_PLATFORM=offscreen LANG=C.UTF-8)
for program in "${programs[@]}"; do
    output=$("${user_env[@]}" "/usr/bin/$program" --version 2>&1) || fail "$program --version ended with $?: $output"
    [ "$output" = "$program $(dpkg-query -W -f='${Version}' velin-manager | sed 's/-[^-]*$//')" ] ||
        fail "$program --version says: $output"
    output=$("${user_env[@]}" "/usr/bin/$program" --help 2>&1) || fail "$program --help ended with $?"
    grep -qF "Uso: $program" <<<"$output" || fail "$program --help says: $output"
    [ -f "/usr/share/man/man1/$program.1.gz" ] && [ -f "/usr/share/man/it/man1/$program.1.gz" ] ||
        fail "$program lacks its English or Italian manual page"
done
# The guides the programs and manual pages name, where they name them.
for guide in guida-utente guida-amministratore; do
    [ -f "/usr/share/doc/velin-manager/$guide.md.gz" ] || fail "the package lacks docs/$guide.md"
done
# The PDF classes reach the distribution's jars.
for jar in /usr/lib/velin-manager/java/*.jar; do
    [ -e "$jar" ] || fail "$jar leads nowhere"
done

# The verifier on the samples of the documentation: an intact signature and a tampered one.
samples=/usr/share/doc/velin-manager/esempi
status=0
output=$("${user_env[@]}" velin-verify --batch "$samples/contratto-tampered.txt.p7m" 2>&1) || status=$?
[ "$status" = 2 ] && grep -qF "La firma non corrisponde al documento." <<<"$output" ||
    fail "velin-verify --batch on the tampered sample ended with $status: $output"
# On a fresh installation no list is there yet: that is said once, on standard error, and is no
# error of the file, whose verdict is its own (intact, without legal value: exit 0 or 1).
status=0
output=$("${user_env[@]}" velin-verify --batch "$samples/contratto-signer-legal.txt.p7m" 2>"$work/verify.err") ||
    status=$?
{ [ "$status" = 0 ] || [ "$status" = 1 ]; } && grep -qF "Il documento è firmato correttamente e integro." <<<"$output" &&
    ! grep -qF "La firma non corrisponde" <<<"$output" && ! grep -qF "[errore]" <<<"$output" ||
    fail "velin-verify --batch on the intact sample ended with $status: $output $(cat "$work/verify.err")"
grep -qF -- "--aggiorna-liste" "$work/verify.err" ||
    fail "velin-verify --batch on a fresh installation does not say how to get the lists: $(cat "$work/verify.err")"

# Double-click: the signed types open in the verifier.
for type in application/pkcs7-mime application/pkcs7-signature application/x-velin-m7m application/timestamped-data \
    application/timestamp-reply application/vnd.etsi.asic-s+zip application/vnd.etsi.asic-e+zip; do
    handler=$("${user_env[@]}" xdg-mime query default "$type" 2>&1 || true)
    [ "$handler" = velin-verify.desktop ] || fail "xdg-mime: $type opens with '$handler'"
done
for glob in pkcs7-mime:\*.p7m pkcs7-signature:\*.p7s x-velin-m7m:\*.m7m timestamped-data:\*.tsd \
    timestamp-reply:\*.tsr x-velin-timestamp-token:\*.tst vnd.etsi.asic-s+zip:\*.asics vnd.etsi.asic-e+zip:\*.asice; do
    grep -qF ":application/$glob" /usr/share/mime/globs2 || fail "the MIME database lacks application/$glob"
done

# A C client built the way other programs build against the library, and the PC check, with a
# card in the reader (one card bed on the machine at a time).
# shellcheck disable=SC2046
cc -Wall -Werror -o "$work/card_client" "$source_dir/tests/package/card_client.c" $(pkg-config --cflags --libs noraxcard) ||
    fail "the C client does not build with pkg-config --cflags --libs noraxcard"
ldd "$work/card_client" | grep -Eq "libnoraxcard.so.3 => (/usr)?/lib/" || fail "the C client does not load the installed library"
exec 9>/tmp/velin-card-bed.lock
flock 9
CARD_BED_DIR=$bed_dir VELIN_BUILD_DIR=$build "$source_dir/tools/card-bed" start --no-token >"$work/bed.log" 2>&1 ||
    { cat "$work/bed.log" >&2; die "the card bed did not start"; }
output=$("${user_env[@]}" "$work/card_client" 2>&1) || fail "the C client against the card bed: $output"
status=0
"${user_env[@]}" velin-pccheck "$work/rapporto.txt" /batch >"$work/pccheck.txt" 2>&1 || status=$?
{ [ "$status" = 0 ] || [ "$status" = 1 ]; } && [ -s "$work/rapporto.txt" ] ||
    fail "velin-pccheck /batch ended with $status: $(cat "$work/pccheck.txt")"
CARD_BED_DIR=$bed_dir "$source_dir/tools/card-bed" stop >/dev/null 2>&1
flock -u 9

# The update run on the real packages, signed by the test update authority.
VELIN_TEST_PACKAGES=$packages "$build/tests/integration/update/test_update_run" \
    --gtest_filter='Update_run_test.RealPackages*' >"$work/update.txt" 2>&1 &&
    grep -qF "[       OK ] Update_run_test.RealPackagesAreCheckedByTheirControlData" "$work/update.txt" ||
    { cat "$work/update.txt" >&2; fail "the update run refused or took the wrong real packages"; }

readme_line "${readme_purges[0]}" || fail "the README's purge line failed"
for name in "${ours[@]}"; do
    dpkg-query -W -f='${db:Status-Abbrev}' "$name" 2>/dev/null | grep -q '^[a-z]' && fail "the README's purge line left $name"
done
# What apt added for ours goes with them (apt-get autoremove, for a user).
purge || fail "apt-get purge failed"
# Nothing they installed is left, and dpkg knows the same packages as before.
while IFS= read -r path; do
    grep -qxF "$path" "$existing" && continue
    [ -e "$path" ] || [ -L "$path" ] && fail "left after the purge: $path"
done < <(cat "$work/paths"; echo /etc/velin-manager)
diff <(cat "$state_before") <(dpkg_state) >"$work/state.diff" || fail "dpkg's packages changed: $(cat "$work/state.diff")"

if ((failures)); then
    echo "$failures check(s) failed" >&2
    exit 1
fi
echo "installed packages OK: ${debs[*]##*/}"
