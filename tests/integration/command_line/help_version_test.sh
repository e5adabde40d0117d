#!/usr/bin/env bash
# --help and --version of each program: answered on the standard output with exit 0, with no
# display and without touching anything (no file appears in the home, configuration, cache,
# runtime, temporary or data folders). Then velin-dati-carta --json runs without a display: it
# prints its JSON (the card cannot be read here) instead of aborting.
#   help_version_test.sh VERSION VELIN-DATI-CARTA PROGRAM...
set -uo pipefail
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
version=$1
card_data=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
folders=(home config cache runtime tmp data)
for folder in "${folders[@]}"; do
    mkdir -p "$work/$folder"
done
chmod 700 "$work/runtime"

# No display of any kind; every folder a program could write to is one of ours; no card service.
run() {
    env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM \
        HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_CACHE_HOME="$work/cache" \
        XDG_DATA_HOME="$work/data" XDG_RUNTIME_DIR="$work/runtime" TMPDIR="$work/tmp" \
        VELIN_USER_REGISTRY="$work/config/user.reg" VELIN_MACHINE_REGISTRY="$work/data/machine.reg" \
        VELIN_DATA_DIR="$work/data/velin" PCSCLITE_CSOCK_NAME="$work/no-pcscd.comm" \
        "$@" </dev/null >"$work/out" 2>"$work/err"
}

for program in "$card_data" "$@"; do
    name=$(basename "$program")
    run "$program" --help
    rc=$?
    ((rc == 0)) || fail "$name --help: exit $rc; stderr: $(cat "$work/err")"
    grep -q "^Uso: $name\|^usage: $name" "$work/out" || fail "$name --help printed no usage on stdout: $(cat "$work/out")"
    run "$program" --version
    rc=$?
    ((rc == 0)) || fail "$name --version: exit $rc; stderr: $(cat "$work/err")"
    [ "$(cat "$work/out")" = "$name $version" ] || fail "$name --version printed '$(cat "$work/out")', not '$name $version'"
    touched=$(cd "$work" && find "${folders[@]}" -mindepth 1)
    [ -z "$touched" ] || fail "$name --help/--version left: $touched"
    echo "ok: $name"
done

run "$card_data" --json
rc=$?
((rc == 0 || rc == 1)) || fail "velin-dati-carta --json without a display: exit $rc; stderr: $(cat "$work/err")"
grep -q '"errori"' "$work/out" || fail "velin-dati-carta --json printed no JSON: $(cat "$work/out") $(cat "$work/err")"
echo "ok: velin-dati-carta --json"
echo PASS
