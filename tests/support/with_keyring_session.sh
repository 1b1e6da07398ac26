#!/usr/bin/env bash
# Runs a program in a desktop session of its own whose keyring (gnome-keyring's secrets
# service, unlocked) holds the archives' passphrase, or nothing when it is given empty.
# Usage: with_keyring_session.sh HOME PASSPHRASE PROGRAM [ARGS...]
# HOME is a private folder of the caller's: the keyring's files and the session's runtime
# folder live below it, so nothing of the user's own session is read or changed.
# Exits 77 (CTest's "skipped") with the reason only where the session bus or the keyring
# cannot start here; a missing package fails, since scripts/deps installs them all.
set -u
for tool in dbus-run-session gnome-keyring-daemon secret-tool; do
    command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/deps installs it)" >&2; exit 1; }
done
if [ "${KEYRING_SESSION_INSIDE:-}" != 1 ]; then
    home="$1"
    mkdir -p -m 0700 "$home/runtime" "$home/data"
    if ! reason="$(dbus-run-session -- true 2>&1)"; then
        echo "SKIPPED: a session bus (dbus-run-session) cannot start here: $reason"
        exit 77
    fi
    HOME="$home" XDG_RUNTIME_DIR="$home/runtime" XDG_DATA_HOME="$home/data" \
        KEYRING_SESSION_INSIDE=1 exec dbus-run-session -- "$0" "$@"
fi
# Inside the session: the daemon unlocks (creating) the login keyring with a password fed
# on stdin, and leaves with the session's bus.
shift
passphrase="$1"
shift
if ! reason="$(printf 'session password\n' | gnome-keyring-daemon --unlock --components=secrets 2>&1)"; then
    echo "SKIPPED: the keyring daemon cannot start here: $reason"
    exit 77
fi
if [ -n "$passphrase" ]; then
    printf '%s' "$passphrase" |
        secret-tool store --label=vornback application vornback purpose archive-passphrase || exit 1
fi
exec "$@"
