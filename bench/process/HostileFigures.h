#pragma once

#include "bench/process/FigureSupport.h"

// Hostile hosts and a dead name server against the programs: the exporter under one host
// that answers for 4,096 ids with a new packet id in every answer (its CPU time, the page
// reads towards that host, and how soon a real device switched on meanwhile gets its
// series), and qip-discover probing three names a silent name server never resolves (the
// broadcast cycle and how soon it quits).
void HostileFigures(const FigureOptions& options);
