"""Reads the desktop program's window through AT-SPI, as a screen reader does.

Usage: AtspiWindow.py <application name> [--filter TEXT] WANTED...
Waits up to 15 s until the application's accessible tree, dumped one line per object as
"<role> | <name> | <description>" and, for a table, "row <cell> | <cell> | ..." per row,
holds every WANTED text (a WANTED starting with "!" must be absent). With --filter, TEXT is
first written into the accessible text field named "Filter". Prints the last dump; exit 0
when everything wanted was seen, 1 otherwise.
"""
import sys
import time

import pyatspi


def find_application(name):
    desktop = pyatspi.Registry.getDesktop(0)
    for index in range(desktop.childCount):
        application = desktop.getChildAtIndex(index)
        if application is not None and application.name == name:
            return application
    return None


def walk(accessible, lines, depth=0):
    if accessible is None or depth > 40:
        return
    # What is hidden is not on the screen: a screen reader does not read it either.
    if depth > 1 and not accessible.getState().contains(pyatspi.STATE_SHOWING):
        return
    role = accessible.getRoleName()
    lines.append("%s | %s | %s" % (role, accessible.name, accessible.description))
    if role == "table":
        table = accessible.queryTable()
        lines.append("rows %d" % table.nRows)
        for row in range(table.nRows):
            cells = [table.getAccessibleAt(row, column).name for column in range(table.nColumns)]
            lines.append("row " + " | ".join(cells))
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
    if rest[:1] == ["--filter"]:
        filter_text = rest[1]
        rest = rest[2:]
    deadline = time.monotonic() + 15
    dump = ""
    filtered = filter_text is None
    while time.monotonic() < deadline:
        application = find_application(name)
        if application is not None:
            if not filtered:
                field = find_named(application, "Filter", "text")
                if field is not None:
                    field.queryEditableText().setTextContents(filter_text)
                    filtered = True
            lines = []
            try:
                walk(application, lines)
            except Exception as error:  # the tree changes while it is read
                lines.append("error " + str(error))
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
