#!/usr/bin/env bash
# Runs a program the way a desktop session with a screen reader would: on a virtual display
# of its own (a free display number) and a session bus of its own, whose accessibility bus
# (at-spi2-core) starts on demand. Usage: with_atspi_session.sh PROGRAM [ARGS...]
# Exits 77 (CTest's "skipped") with the reason only where the display or the bus cannot
# start here; a missing package is a failure, since scripts/deps installs them all.
set -u

skip() {
    echo "SKIPPED: $*"
    exit 77
}

for tool in Xvfb dbus-run-session /usr/libexec/at-spi-bus-launcher; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "with_atspi_session: $tool is missing (scripts/deps installs it)" >&2
        exit 1
    fi
done

work="$(mktemp -d)"
xvfb=""
cleanup() {
    if [ -n "$xvfb" ]; then
        kill "$xvfb" 2>/dev/null
        wait "$xvfb" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

# Xvfb picks a free display itself and writes its number to the descriptor.
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp 3>"$work/display" 2>"$work/xvfb.log" &
xvfb=$!
for _ in $(seq 100); do
    if [ -s "$work/display" ] || ! kill -0 "$xvfb" 2>/dev/null; then
        break
    fi
    sleep 0.1
done
if [ ! -s "$work/display" ]; then
    skip "the virtual display (Xvfb) cannot start here: $(tail -n 3 "$work/xvfb.log" | tr '\n' ' ')"
fi
export DISPLAY=":$(head -n 1 "$work/display")"

if ! dbus-run-session -- true 2>"$work/dbus.log"; then
    skip "a session bus (dbus-run-session) cannot start here: $(tail -n 3 "$work/dbus.log" | tr '\n' ' ')"
fi

mkdir -m 0700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime"
export QT_QPA_PLATFORM=xcb
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1
# The walker runs on Debian's own Python, which holds the AT-SPI bindings.
export VORNBACK_ATSPI_PYTHON="${VORNBACK_ATSPI_PYTHON:-/usr/bin/python3}"
dbus-run-session -- "$@"
