#!/usr/bin/python3
# Reads the accessibility tree of one running program through the AT-SPI registry, as a
# screen reader does, and prints it as JSON: one object per node of each showing window
# (role, name, text of the text interface, description, showing, focused, depth).
# Usage: atspi_walk.py PID   (waits up to 30 seconds for the program to appear)
import json
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def find_application(pid, seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            if app is not None and app.get_process_id() == pid:
                return app
        time.sleep(0.2)
    return None


def node(acc, depth):
    states = acc.get_state_set()
    text = None
    if "Text" in acc.get_interfaces():
        text = Atspi.Text.get_text(acc, 0, Atspi.Text.get_character_count(acc))
    return {
        "role": acc.get_role_name(),
        "name": acc.get_name() or "",
        "text": text,
        "description": acc.get_description() or "",
        "showing": states.contains(Atspi.StateType.SHOWING),
        "focused": states.contains(Atspi.StateType.FOCUSED),
        "depth": depth,
    }


def walk(acc, depth, out):
    out.append(node(acc, depth))
    for i in range(acc.get_child_count()):
        child = acc.get_child_at_index(i)
        if child is not None:
            walk(child, depth + 1, out)


def main():
    app = find_application(int(sys.argv[1]), 30)
    if app is None:
        print("atspi_walk: the program did not appear on the accessibility bus", file=sys.stderr)
        return 2
    nodes = []
    for i in range(app.get_child_count()):
        window = app.get_child_at_index(i)
        if window is not None and window.get_state_set().contains(Atspi.StateType.SHOWING):
            walk(window, 0, nodes)
    json.dump(nodes, sys.stdout)
    return 0


if __name__ == "__main__":
    sys.exit(main())
