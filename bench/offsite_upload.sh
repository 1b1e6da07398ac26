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
ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
ssh-keygen -q -t ed25519 -N '' -f "$work/user_key"
cp "$work/user_key.pub" "$work/authorized_keys"
mkdir -p "$work/remote"
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
root=no
if [ "$(id -u)" -eq 0 ]; then root=yes; mkdir -p /run/sshd; fi
cat > "$work/sshd_config" <<CONF
ListenAddress 127.0.0.1
Port $port
HostKey $work/host_key
PidFile $work/sshd.pid
AuthorizedKeysFile $work/authorized_keys
UsePAM no
PasswordAuthentication no
KbdInteractiveAuthentication no
StrictModes no
PermitRootLogin $root
Subsystem sftp internal-sftp
CONF
/usr/sbin/sshd -D -e -f "$work/sshd_config" 2>"$work/sshd.log" &
pid=$!
sleep 1
fp=$(ssh-keygen -lf "$work/host_key.pub" | awk '{print $2}')
user=$(id -un)
# An archive does not compress further: random bytes stand for one.
head -c "$((size_mb * 1048576))" /dev/urandom > "$work/archive.zip"
url="sftp://$user@127.0.0.1:$port$work/remote"

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
