#pragma once

#include <time.h>

// Milliseconds on the monotonic clock, for deadlines that a wall-clock step must not move.
// Header-only, so code that links nothing of the portability layer can use it too.
inline long long KspMonotonicMs()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
