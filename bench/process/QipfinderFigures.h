#pragma once

#include "bench/process/FigureSupport.h"

// The desktop program under Xvfb against simulated devices in the test bed, with a stand-in
// browser: start to the hand-off with one device; from a failing browser's end to the
// program's message; and from a device switched on after "No device found" to its page.
// Prints Markdown tables; skips (saying why) without the program, Xvfb or the bed.
void QipfinderFigures(const FigureOptions& options);

// The program with 4,096 simulated devices answering every cycle (16 addresses x 256 ids):
// its steady CPU share once the table is full, rows shown greyed, a screen reader's calls
// through AT-SPI, sorting and filtering, RSS and the longest stall of its event loop.
void QipfinderTableFigure(const FigureOptions& options);
