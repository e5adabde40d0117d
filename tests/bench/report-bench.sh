#!/bin/bash
# Times what the written reports add to the verification of a file with one signer: the same
# `velin-verify --batch --json` run without reports, with the ETSI report (--rapporto-etsi), with
# the PDF report (--rapporto) and with both, RUNS times each; prints the median wall time and the
# median processor time (perf stat's task clock: what the run costs itself, whatever else the
# machine is doing) of each, and what each adds to the run without reports. Run by hand:
#     tests/bench/report-bench.sh [BUILD_FOLDER] [RUNS]
set -euo pipefail

repo=$(cd "$(dirname "$0")/../.." && pwd)
build=${1:-$repo/build}
runs=${2:-21}
program=$build/bin/velin-verify
[ -x "$program" ] || { echo "velin-verify not built in $build" >&2; exit 1; }
pki=$repo/tests/fixtures/pki
file=$pki/documents/contratto-signer-legal.txt.p7m

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

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

# The medians of RUNS wall times and processor times of the command, in milliseconds: "WALL CPU".
medians() {
    local walls=() cpus=()
    for ((i = 0; i < runs; ++i)); do
        local start end
        start=$(date +%s%N)
        perf stat -x, -e task-clock -o "$work/stat" "$@" >/dev/null 2>&1 || true
        end=$(date +%s%N)
        walls+=($(((end - start) / 1000)))
        cpus+=($(awk -F, '/task-clock/ { printf "%d", $1 * 1000 }' "$work/stat"))
    done
    local wall cpu
    wall=$(printf '%s\n' "${walls[@]}" | sort -n | awk '{ t[NR] = $1 } END { printf "%.1f", t[int((NR + 1) / 2)] / 1000 }')
    cpu=$(printf '%s\n' "${cpus[@]}" | sort -n | awk '{ t[NR] = $1 } END { printf "%.1f", t[int((NR + 1) / 2)] / 1000 }')
    echo "$wall $cpu"
}

# One run first, so that every measured run finds the file and the libraries in the page cache.
"$program" --batch --json "$file" >/dev/null 2>&1 || true
read -r plain_wall plain_cpu < <(medians "$program" --batch --json "$file")
printf '| Run (one signer, median of %d) | Wall | Added | Processor | Added |\n|---|---|---|---|---|\n' "$runs"
printf '| no report | %s ms | — | %s ms | — |\n' "$plain_wall" "$plain_cpu"
added() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.1f", a - b }'; }
row() {
    local label=$1
    shift
    local wall cpu
    read -r wall cpu < <(medians "$program" --batch --json "$@" "$file")
    printf '| %s | %s ms | %s ms | %s ms | %s ms |\n' "$label" "$wall" "$(added "$wall" "$plain_wall")" "$cpu" \
        "$(added "$cpu" "$plain_cpu")"
}
row "ETSI report (XML)" --rapporto-etsi "$work/r.xml"
row "PDF report" --rapporto "$work/r.pdf"
row "both reports" --rapporto "$work/r.pdf" --rapporto-etsi "$work/r.xml"
