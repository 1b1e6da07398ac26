# Sourced by the benchmarks that need an SFTP server: start_sftp_server WORK starts an
# sshd on loopback (a free port, internal-sftp, host and user keys of its own under WORK)
# serving WORK/remote, and sets sftp_pid, sftp_url (sftp://user@127.0.0.1:port/WORK/remote),
# sftp_host_key (its SHA256: fingerprint) and sftp_identity (the user's private key).
# The caller kills sftp_pid when done.
start_sftp_server() {
    local work="$1" port root=no
    ssh-keygen -q -t ed25519 -N '' -f "$work/host_key"
    ssh-keygen -q -t ed25519 -N '' -f "$work/user_key"
    cp "$work/user_key.pub" "$work/authorized_keys"
    mkdir -p "$work/remote"
    port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
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
    sftp_pid=$!
    sleep 1
    sftp_host_key=$(ssh-keygen -lf "$work/host_key.pub" | awk '{print $2}')
    sftp_identity="$work/user_key"
    sftp_url="sftp://$(id -un)@127.0.0.1:$port$work/remote"
}
