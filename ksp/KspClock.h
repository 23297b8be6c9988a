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

// Whole seconds on the monotonic clock, for ageing that a wall-clock step must not move. It
// stands still while the machine is suspended, so a resume is no silence of its own.
inline time_t KspMonotonicSeconds()
{
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec;
}
