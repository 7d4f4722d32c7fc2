// Checks for fuzz targets: a failed check prints what disagreed and aborts, which the fuzzer reports as
// a crash with the input that caused it (and the corpus replay reports as a failed run).
#pragma once

#include <cstdio>
#include <cstdlib>

#define TARVOS_FUZZ_CHECK(condition, ...)                                                      \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s: ", __FILE__, __LINE__, #condition); \
            std::fprintf(stderr, __VA_ARGS__);                                                 \
            std::fprintf(stderr, "\n");                                                        \
            std::abort();                                                                      \
        }                                                                                      \
    } while (false)
