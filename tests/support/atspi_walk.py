#!/usr/bin/python3
# Reads the accessibility tree of one running program through the AT-SPI registry, as a
# screen reader does, and prints it as JSON: one object per node of each showing window
# (role, name, text of the text interface, showing, focused). Usage: atspi_walk.py PID
import json
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402


def application(pid):
    for _ in range(150):  # the program registers once its bridge is up: 30 seconds at most
        desktop = Atspi.get_desktop(0)
        for app in (desktop.get_child_at_index(i) for i in range(desktop.get_child_count())):
            if app is not None and app.get_process_id() == pid:
                return app
        time.sleep(0.2)
    sys.exit("atspi_walk: the program did not appear on the accessibility bus")


def walk(acc, out):
    states = acc.get_state_set()
    text = None
    if "Text" in acc.get_interfaces():
        text = Atspi.Text.get_text(acc, 0, Atspi.Text.get_character_count(acc))
    out.append({"role": acc.get_role_name(), "name": acc.get_name() or "", "text": text,
                "showing": states.contains(Atspi.StateType.SHOWING),
                "focused": states.contains(Atspi.StateType.FOCUSED)})
    for i in range(acc.get_child_count()):
        child = acc.get_child_at_index(i)
        if child is not None:
            walk(child, out)


nodes = []
app = application(int(sys.argv[1]))
for window in (app.get_child_at_index(i) for i in range(app.get_child_count())):
    if window is not None and window.get_state_set().contains(Atspi.StateType.SHOWING):
        walk(window, nodes)
json.dump(nodes, sys.stdout)
