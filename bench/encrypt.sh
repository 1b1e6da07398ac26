#!/usr/bin/env bash
# What encryption adds to a backup's time: builds the `vornback-cli make-sample --scale 100`
# tree and times, RUNS times each, a plain whole-firm backup of firm 1 and the same backup
# with EncryptLocal=1 (packed and checked as before, then its AES-256 copy made from the
# compressed bytes, synced, read back and checked with the keys it was written with: the same work the
# encrypted copy for the offsite copy and the mail costs). Prints the medians, the added
# share (target: at most 15%), the archive sizes and the load average at the start.
#
# Usage: bench/encrypt.sh [CLI] [RUNS]
#   CLI   the vornback-cli to measure (default: build/default/cli/vornback-cli)
#   RUNS  runs per measurement (default: 3); the median counts
# Environment: BENCH_DIR (default: a new folder below /var/tmp), kept when BENCH_KEEP=1;
# IMAGES=1 backs up the firm with its attached documents (--images: 816 files instead
# of 621, 171 MB instead of 31 MB). OFFSITE=1 measures the copy that leaves instead: both
# backups are copied offsite (to an sshd started here on loopback, read back to verify), the
# one with "Encrypt=1" sends its encrypted copy; the local archives stay plain.
#
# Both run warm (the page cache cannot be dropped here); a `sync` runs before each timed
# run, and the two kinds of backup take turns, so that a change of load hits both.
set -euo pipefail

here="$(cd "$(dirname "$0")/.." && pwd)"
cli="${1:-$here/build/default/cli/vornback-cli}"
runs="${2:-3}"
work="${BENCH_DIR:-$(mktemp -d /var/tmp/vornback-encrypt-bench.XXXXXX)}"
mkdir -p "$work"
[ -x "$cli" ] || { echo "no vornback-cli at $cli (build it first)" >&2; exit 2; }
sftp_pid=""
cleanup() {
    [ -n "$sftp_pid" ] && kill "$sftp_pid" 2>/dev/null || true
    [ "${BENCH_KEEP:-0}" = 1 ] || rm -rf "$work"
}
trap cleanup EXIT

load="$(cut -d' ' -f1 /proc/loadavg)"
echo "== load average at start: $load ($(nproc) cores)"
if awk -v l="$load" 'BEGIN { exit !(l > 0.5) }'; then
    echo "WARNING: the machine was busy at start (load $load > 0.5); the times are not those of an idle machine"
fi

if [ ! -d "$work/tree" ]; then
    "$cli" make-sample "$work/tree" --scale 100 >/dev/null
fi
program="$work/tree/Bkp"
settings="$program/settings.ini"
passphrase="$work/passphrase"
printf '%s\n' 'a long passphrase for the benchmark' > "$passphrase"
chmod 600 "$passphrase"
"$cli" offsite set --program-folder "$program" --passphrase-file "$passphrase" >/dev/null
if [ "${OFFSITE:-0}" = 1 ]; then
    . "$here/bench/sftp_server.sh"
    start_sftp_server "$work"
    "$cli" offsite set --program-folder "$program" --url "$sftp_url" --host-key "$sftp_host_key" \
        --identity "$sftp_identity" >/dev/null
fi
mkdir -p "$work/plain" "$work/encrypted"

encrypt_local() { # 0|1: EncryptLocal, or with OFFSITE=1 the offsite copy's Encrypt
    if [ "${OFFSITE:-0}" = 1 ]; then
        "$cli" offsite set --program-folder "$program" --encrypt "$1" >/dev/null
        return
    fi
    sed -i '/^EncryptLocal=/d' "$settings"
    if [ "$1" = 1 ]; then
        if grep -q '^\[Back\]' "$settings"; then
            sed -i '/^\[Back\]/a EncryptLocal=1' "$settings"
        else
            printf '\n[Back]\nEncryptLocal=1\n' >> "$settings"
        fi
    fi
}
seconds() { # command...: "wall cpu" of one run, in seconds (cpu: user + system)
    sync
    /usr/bin/time -f "%e %U %S" -o "$work/time" "$@" >/dev/null
    awk '{ printf "%s %.2f\n", $1, $2 + $3 }' "$work/time"
}
median() { sort -g | awk '{ a[NR] = $1 } END { printf "%.2f", (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2 }'; }

what=(--whole-firm)
[ "${IMAGES:-0}" = 1 ] && what=(--images)
plains=()
encrypteds=()
for i in $(seq "$runs"); do
    encrypt_local 0
    plains+=("$(seconds "$cli" backup 1,2 "${what[@]}" --type single --program-folder "$program" \
        --to "$work/plain" -q)")
    encrypt_local 1
    encrypteds+=("$(seconds "$cli" backup 1,2 "${what[@]}" --type single --program-folder "$program" \
        --to "$work/encrypted" -q)")
done
encrypt_local 0
pw="$(for r in "${plains[@]}"; do echo "${r% *}"; done | median)"
pc="$(for r in "${plains[@]}"; do echo "${r#* }"; done | median)"
ew="$(for r in "${encrypteds[@]}"; do echo "${r% *}"; done | median)"
ec="$(for r in "${encrypteds[@]}"; do echo "${r#* }"; done | median)"
echo "== archives: plain $(unzip -Z1 "$work/plain/Firm1.zip" | wc -l) entries, $(stat -c %s "$work/plain/Firm1.zip") bytes, encrypted $(stat -c %s "$work/encrypted/Firm1.zip") bytes"
echo "plain backup runs (wall cpu):     ${plains[*]}"
echo "encrypted backup runs (wall cpu): ${encrypteds[*]}"
printf "median plain %.2f s (cpu %.2f s), encrypted %.2f s (cpu %.2f s): encryption adds %.1f%% wall, %.1f%% cpu (target 15%%)\n" \
    "$pw" "$pc" "$ew" "$ec" "$(echo "($ew / $pw - 1) * 100" | bc -l)" "$(echo "($ec / $pc - 1) * 100" | bc -l)"
