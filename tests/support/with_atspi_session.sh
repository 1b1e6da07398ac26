#!/usr/bin/env bash
# Runs a program as a desktop session with a screen reader would: on a virtual display of
# its own (a free display number) and a session bus of its own, whose accessibility bus
# (at-spi2-core) starts on demand. Usage: with_atspi_session.sh PROGRAM [ARGS...]
# Exits 77 (CTest's "skipped") with the reason only where the display or the bus cannot
# start here; a missing package fails, since scripts/deps installs them all.
set -u
for tool in Xvfb dbus-run-session /usr/libexec/at-spi-bus-launcher; do
    command -v "$tool" >/dev/null || { echo "$tool is missing (scripts/deps installs it)" >&2; exit 1; }
done
work="$(mktemp -d)"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/log" &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; wait $xvfb 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 100); do  # Xvfb writes the display it took once it is ready
    [ -s "$work/display" ] || ! kill -0 "$xvfb" 2>/dev/null && break
    sleep 0.1
done
if [ ! -s "$work/display" ]; then
    echo "SKIPPED: the virtual display (Xvfb) cannot start here: $(tail -n 3 "$work/log")"
    exit 77
fi
if ! dbus-run-session -- true 2>"$work/log"; then
    echo "SKIPPED: a session bus (dbus-run-session) cannot start here: $(tail -n 3 "$work/log")"
    exit 77
fi
mkdir -m 0700 "$work/runtime"
# The walker runs on Debian's own Python, which holds the AT-SPI bindings.
DISPLAY=":$(head -n 1 "$work/display")" XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=xcb \
    QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 VORNBACK_ATSPI_PYTHON="${VORNBACK_ATSPI_PYTHON:-/usr/bin/python3}" \
    dbus-run-session -- "$@"
