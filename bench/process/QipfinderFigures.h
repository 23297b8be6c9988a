#pragma once

#include "bench/process/FigureSupport.h"

// The desktop program under Xvfb against simulated devices in the test bed, with a stand-in
// browser: start to the hand-off with one device; from a failing browser's end to the
// program's message; and from a device switched on after "No device found" to its page.
// Prints Markdown tables; skips (saying why) without the program, Xvfb or the bed.
void QipfinderFigures(const FigureOptions& options);
