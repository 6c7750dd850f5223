#pragma once

#include <cstdio>
#include <cstdlib>

// A property a harness checks on every input: when it fails, the input is a finding, kept by
// libFuzzer like a crash.
#define FUZZ_CHECK(condition)                                                                    \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                        \
        }                                                                                        \
    } while (false)
