# What the verifier's benchmark scripts share, sourced by them once they have set work (a
# temporary folder they remove) and pki (the test PKI's folder).

# A private verifier environment: the test trust data, no CRL check (nothing to download).
mkdir -p "$work/run"
cp -r "$pki/velin-data" "$work/velin-data"
cat > "$work/user.reg" <<'REG'
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\SOFTWARE\Valdora Vidizoved\Velin Manager\Impostazioni]
"VerificaCRL"=dword:00000000

REG
export VELIN_DATA_DIR=$work/velin-data
export VELIN_USER_REGISTRY=$work/user.reg
export VELIN_MACHINE_REGISTRY=$work/machine.reg
export XDG_RUNTIME_DIR=$work/run
export TMPDIR=$work/run
export XDG_CACHE_HOME=$work/user-cache

# measure <label> <command...>: sets seconds and kilobytes, the best of $runs runs (the machine is
# shared, so the fastest run is the one least disturbed); the command's exit status is not judged
# (a verdict other than valid ends velin-verify with a non-zero status).
runs=${RUNS:-3}
measure() {
    local label=$1 run best_seconds='' best_kilobytes=''
    shift
    for ((run = 0; run < runs; ++run)); do
        /usr/bin/time -v -o "$work/$label.time" "$@" >"$work/$label.out" 2>"$work/$label.err" || true
        seconds=$(awk -F': ' '/Elapsed \(wall clock\)/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; i++) s = s * 60 + t[i]; print s }' "$work/$label.time")
        kilobytes=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$work/$label.time")
        if [ -z "$best_seconds" ] || awk -v a="$seconds" -v b="$best_seconds" 'BEGIN { exit !(a < b) }'; then
            best_seconds=$seconds
        fi
        if [ -z "$best_kilobytes" ] || [ "$kilobytes" -gt "$best_kilobytes" ]; then
            best_kilobytes=$kilobytes
        fi
    done
    seconds=$best_seconds
    kilobytes=$best_kilobytes
}

# anon_peak <command...>: sets anon, the highest resident memory not backed by a file (RssAnon) of
# one run, in kilobytes, sampled every few milliseconds without starting a process per sample.
anon_peak() {
    "$@" >/dev/null 2>&1 &
    local pid=$! peak=0 key value _
    while kill -0 "$pid" 2>/dev/null; do
        while read -r key value _; do
            [ "$key" = RssAnon: ] && [ "$value" -gt "$peak" ] && peak=$value
        done 2>/dev/null < "/proc/$pid/status" || true # the process may end between the two
        read -r -t 0.003 _ <> <(:) || true
    done
    wait "$pid" || true
    anon=$peak
}
