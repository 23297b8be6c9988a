#pragma once

#include "bench/process/FigureSupport.h"

// Probing beyond the broadcast domain: a device behind the test bed's router found by a
// /24 sweep, a /16 sweep on loopback at two paces with its CPU time and memory, and the
// first broadcast's delay with probe names under a name server that never answers.
void ProbeFigures(const FigureOptions& options);
