"""Reads the desktop program's window through AT-SPI, as a screen reader does.

Usage: AtspiWindow.py <application name> [--filter TEXT] [--wait SECONDS] WANTED...
Waits up to SECONDS (15 by default) until the application's accessible tree, dumped one
line per object as "<role> | <name> | <description>" and, for a table, "row <cell> | <cell>
| ..." and "row header <the row's description>" per row, holds every WANTED text (a WANTED starting with "!" must be absent). The
dump starts with "applications N", the number of applications of that name on the bus; an
active window adds "active window <name>". It ends with what a screen reader would have
said unasked since the start: "focused <name>" when a control got the focus, and
"announced <text>" with that control's description, or with the focused control's new
description when it changed (line breaks become spaces). With --filter, TEXT is first
written into the accessible text field named "Filter". Prints the last dump; exit 0 when
everything wanted was seen, 1 otherwise.
"""
import sys
import time

import pyatspi
from gi.repository import GLib


def find_applications(name):
    desktop = pyatspi.Registry.getDesktop(0)
    found = []
    for index in range(desktop.childCount):
        application = desktop.getChildAtIndex(index)
        if application is not None and application.name == name:
            found.append(application)
    return found


class Announcements:
    """What a screen reader speaks unasked: focus moving to a control, and a change of the
    focused control's description."""

    def __init__(self):
        self.spoken = []
        pyatspi.Registry.registerEventListener(
            self.on_event, "object:state-changed:focused",
            "object:property-change:accessible-description")

    def on_event(self, event):
        try:
            source = event.source
            if event.type.startswith("object:state-changed:focused"):
                if event.detail1 == 1:
                    self.spoken.append("focused " + source.name)
                    self.note(source.description)
            elif source.getState().contains(pyatspi.STATE_FOCUSED):
                # Some toolkits send the object itself rather than its new description.
                self.note(event.any_data if isinstance(event.any_data, str) else source.description)
        except Exception:  # the source went while the event was read
            pass

    def note(self, text):
        if text:
            self.spoken.append("announced " + " ".join(text.split()))

    def lines(self):
        return self.spoken


def pump_events():
    context = GLib.MainContext.default()
    while context.pending():
        context.iteration(False)


def walk(accessible, lines, depth=0):
    if accessible is None or depth > 40:
        return
    # What is hidden is not on the screen: a screen reader does not read it either.
    if depth > 1 and not accessible.getState().contains(pyatspi.STATE_SHOWING):
        return
    role = accessible.getRoleName()
    lines.append("%s | %s | %s" % (role, accessible.name, accessible.description))
    if role == "frame" and accessible.getState().contains(pyatspi.STATE_ACTIVE):
        lines.append("active window " + accessible.name)
    if role == "table":
        table = accessible.queryTable()
        lines.append("rows %d" % table.nRows)
        for row in range(table.nRows):
            cells = [table.getAccessibleAt(row, column).name for column in range(table.nColumns)]
            lines.append("row " + " | ".join(cells))
            lines.append("row header " + table.getRowDescription(row))
        return
    for index in range(accessible.childCount):
        walk(accessible.getChildAtIndex(index), lines, depth + 1)


def find_named(accessible, name, role):
    if accessible is None:
        return None
    if accessible.name == name and accessible.getRoleName() == role:
        return accessible
    for index in range(accessible.childCount):
        found = find_named(accessible.getChildAtIndex(index), name, role)
        if found is not None:
            return found
    return None


def main(arguments):
    name = arguments[0]
    rest = arguments[1:]
    filter_text = None
    wait = 15.0
    while rest[:1] in (["--filter"], ["--wait"]):
        if rest[0] == "--filter":
            filter_text = rest[1]
        else:
            wait = float(rest[1])
        rest = rest[2:]
    announcements = Announcements()
    deadline = time.monotonic() + wait
    dump = ""
    filtered = filter_text is None
    while time.monotonic() < deadline:
        pump_events()
        applications = find_applications(name)
        if applications:
            application = applications[0]
            if not filtered:
                field = find_named(application, "Filter", "text")
                if field is not None:
                    field.queryEditableText().setTextContents(filter_text)
                    filtered = True
            lines = ["applications %d" % len(applications)]
            try:
                walk(application, lines)
            except Exception as error:  # the tree changes while it is read
                lines.append("error " + str(error))
            pump_events()
            lines += announcements.lines()
            dump = "\n".join(lines) + "\n"
            if filtered and all((want[1:] not in dump) if want.startswith("!") else (want in dump)
                                for want in rest):
                print(dump, end="")
                return 0
        time.sleep(0.2)
    print(dump, end="")
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
