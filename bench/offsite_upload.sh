#!/usr/bin/env bash
# The offsite copy's upload rate against curl -T of the same file to the same SFTP server
# on loopback (an sshd started here, internal-sftp, a key of its own). Not a timed test:
# run it by hand and read the ratio (target: the copy at least 70% of curl's rate).
# usage: bench/offsite_upload.sh [BUILD_DIR] [SIZE_MB]
set -euo pipefail
build=${1:-build/default}
size_mb=${2:-500}
cmake --build "$build" --target bench_offsite_upload >/dev/null
work=$(mktemp -d /tmp/vornback-bench-offsite-XXXXXX)
pid=""
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
. "$(dirname "$0")/sftp_server.sh"
start_sftp_server "$work"
pid=$sftp_pid
fp=$sftp_host_key
# An archive does not compress further: random bytes stand for one.
head -c "$((size_mb * 1048576))" /dev/urandom > "$work/archive.zip"
url=$sftp_url

best_curl=""
best_copy=""
for run in 1 2 3; do
    start=$(date +%s.%N)
    curl -sS --key "$work/user_key" --hostpubsha256 "${fp#SHA256:}" -T "$work/archive.zip" \
        "$url/curl-upload.bin"
    end=$(date +%s.%N)
    t_curl=$(echo "$end - $start" | bc)
    t_copy=$("$build/bench/bench_offsite_upload" "$work/archive.zip" "$url" "$fp" "$work/user_key")
    cmp -s "$work/archive.zip" "$work/remote/bench-upload.bin" || { echo "upload differs"; exit 1; }
    echo "run $run: curl -T ${t_curl}s, offsite copy ${t_copy}s"
    if [ -z "$best_curl" ] || [ "$(echo "$t_curl < $best_curl" | bc)" = 1 ]; then best_curl=$t_curl; fi
    if [ -z "$best_copy" ] || [ "$(echo "$t_copy < $best_copy" | bc)" = 1 ]; then best_copy=$t_copy; fi
    rm -f "$work/remote/"*
done
echo "best of 3, ${size_mb} MB: curl -T $(echo "scale=1; $size_mb / $best_curl" | bc) MB/s," \
    "offsite copy $(echo "scale=1; $size_mb / $best_copy" | bc) MB/s," \
    "ratio $(echo "scale=2; $best_curl / $best_copy" | bc)"
