#pragma once

#include <stdio.h>
#include <stdlib.h>

// A property a harness asserts: when it fails the input is a finding, whether libFuzzer or
// the replay driver runs it, so it ends the process the way a crash does.
#define FUZZ_CHECK(condition)                                                           \
    do {                                                                                \
        if (!(condition)) {                                                             \
            fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
            abort();                                                                    \
        }                                                                               \
    } while (0)

// Every harness defines this; libFuzzer or fuzz/FuzzReplay.cpp calls it.
extern "C" int LLVMFuzzerTestOneInput(const unsigned char* data, size_t size);
