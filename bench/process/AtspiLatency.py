"""Times a screen reader's calls into the desktop program's device table through AT-SPI.

Usage: AtspiLatency.py <application name> <calls>
Finds the application's table (waiting up to 60 s), then makes <calls> reads, 250 ms
apart, each as a screen reader reading the row under review does: the row count, and the
name and description of every cell of one row (a different row each time). Prints
"atspi <longest ms> <median ms> <calls> <ms to find the table>"; exit 1 (with the tree
as far as it was read) when no table was found.
"""
import statistics
import sys
import time

import pyatspi


def find_table(accessible, depth=0):
    if accessible is None or depth > 40:
        return None
    if accessible.getRoleName() == "table":
        return accessible
    for index in range(accessible.childCount):
        found = find_table(accessible.getChildAtIndex(index), depth + 1)
        if found is not None:
            return found
    return None


def main(arguments):
    name, calls = arguments[0], int(arguments[1])
    table = None
    began = time.monotonic()
    deadline = began + 60
    while table is None and time.monotonic() < deadline:
        desktop = pyatspi.Registry.getDesktop(0)
        for index in range(desktop.childCount):
            application = desktop.getChildAtIndex(index)
            if application is not None and application.name == name:
                table = find_table(application)
        if table is None:
            time.sleep(0.5)
    if table is None:
        desktop = pyatspi.Registry.getDesktop(0)
        tree = []

        def dump(accessible, depth):
            if accessible is None or depth > 4:
                return
            tree.append("%s%s:%s(%d)" % (" " * depth, accessible.getRoleName(), accessible.name,
                                         accessible.childCount))
            for index in range(min(accessible.childCount, 20)):
                dump(accessible.getChildAtIndex(index), depth + 1)

        for i in range(desktop.childCount):
            dump(desktop.getChildAtIndex(i), 0)
        print("atspi no-table in " + " / ".join(tree))
        return 1
    found = (time.monotonic() - began) * 1000
    times = []
    for call in range(calls):
        started = time.monotonic()
        cells = table.queryTable()
        rows = cells.nRows
        row = (call * 97) % max(rows, 1)
        for column in range(cells.nColumns):
            cell = cells.getAccessibleAt(row, column)
            _ = (cell.name, cell.description)
        times.append((time.monotonic() - started) * 1000)
        time.sleep(0.25)
    print("atspi %.1f %.1f %d %.0f" % (max(times), statistics.median(times), len(times), found))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
