#!/usr/bin/env bash
# The restore drill against a plain unpack of the same archive: builds the
# `vornback-cli make-sample --scale 100` tree, packs firm 1 (as a whole-firm backup holds
# it) and times, RUNS times each, `vornback-cli unpack` of the archive and `vornback-cli
# drill` of it (unpack into a scratch folder, entries against the unpacked files, every
# database opened with its key and integrity-checked, registers against folders, the
# scratch folder removed). Prints the medians and their ratio (target: drill <= 1.5x
# unpack), and the load average at the start.
#
# Usage: bench/drill.sh [CLI] [RUNS]
#   CLI   the vornback-cli to measure (default: build/default/cli/vornback-cli)
#   RUNS  runs per measurement (default: 5); the median counts
# Environment: BENCH_DIR (default: a new folder below /var/tmp), kept when BENCH_KEEP=1.
#
# Both run warm (the page cache cannot be dropped here); a `sync` runs before each timed
# run. Each unpack goes into a folder of its own, removed only at the end (see
# bench/pack_unpack.sh for why); the drill removes its own scratch folder, inside its time.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
cli="${1:-$here/build/default/cli/vornback-cli}"
runs="${2:-5}"
work="${BENCH_DIR:-$(mktemp -d /var/tmp/vornback-drill-bench.XXXXXX)}"
mkdir -p "$work"
[ -x "$cli" ] || { echo "no vornback-cli at $cli (build it first)" >&2; exit 2; }
cleanup() { [ "${BENCH_KEEP:-0}" = 1 ] || rm -rf "$work"; }
trap cleanup EXIT

load="$(cut -d' ' -f1 /proc/loadavg)"
echo "== load average at start: $load ($(nproc) cores)"
if awk -v l="$load" 'BEGIN { exit !(l > 0.5) }'; then
    echo "WARNING: the machine was busy at start (load $load > 0.5); the times are not those of an idle machine"
fi

if [ ! -d "$work/tree" ]; then
    "$cli" make-sample "$work/tree" --scale 100 >/dev/null
fi
archive="$work/Firm1.zip"
[ -f "$archive" ] || "$cli" pack "$work/tree/Firm1" "$archive"
echo "== archive $archive: $(stat -c %s "$archive") bytes, $(unzip -Z1 "$archive" | wc -l) entries"
mkdir -p "$work/scratch"

seconds() { # command...: "wall cpu" of one run, in seconds (cpu: user + system)
    sync
    /usr/bin/time -f "%e %U %S" -o "$work/time" "$@" >/dev/null
    awk '{ printf "%s %.2f\n", $1, $2 + $3 }' "$work/time"
}
median() { sort -g | awk '{ a[NR] = $1 } END { printf "%.2f", (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

unpacks=()
drills=()
for i in $(seq "$runs"); do
    unpacks+=("$(seconds "$cli" unpack "$archive" "$work/unpacked-$i")")
    drills+=("$(seconds "$cli" drill 1,2 --archive "$archive" --program-folder "$work/tree/Bkp" \
        --scratch "$work/scratch")")
done
uw="$(for r in "${unpacks[@]}"; do echo "${r% *}"; done | median)"
uc="$(for r in "${unpacks[@]}"; do echo "${r#* }"; done | median)"
dw="$(for r in "${drills[@]}"; do echo "${r% *}"; done | median)"
dc="$(for r in "${drills[@]}"; do echo "${r#* }"; done | median)"
echo "unpack runs (wall cpu): ${unpacks[*]}"
echo "drill runs (wall cpu):  ${drills[*]}"
printf "median unpack %.2f s (cpu %.2f s), drill %.2f s (cpu %.2f s): drill/unpack %.2fx wall, %.2fx cpu (target 1.5x)\n" \
    "$uw" "$uc" "$dw" "$dc" "$(echo "$dw / $uw" | bc -l)" "$(echo "$dc / $uc" | bc -l)"
"$cli" history --program-folder "$work/tree/Bkp" | tail -1
