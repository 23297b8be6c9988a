#pragma once

#include <string>

// qip-discover's standard output, every write checked. Main thread only.

// Writes `text` to standard output; false once anything could not be written.
bool QipDiscoverOutput(const std::string& text);
// Flushes standard output; false (said once on standard error) when anything written since
// start could not be delivered.
bool QipDiscoverFlushOutput();
// A program started with a standard descriptor closed would hand that number to the first
// socket or pipe it opens, and its output would go there. Each closed one is filled with
// /dev/null; a closed standard output is remembered, so that writing to it fails.
void QipDiscoverGuardStandardDescriptors();
