// A check for start-up scenarios that run in a forked child: on failure it says what failed and ends
// the child with status 1, which the parent's EXPECT_EXIT reports.
#pragma once

#include <cstdio>
#include <cstdlib>

#define CHILD_CHECK(condition)                                                          \
    do {                                                                                \
        if (!(condition)) {                                                             \
            std::fprintf(stderr, "check failed: %s (line %d)\n", #condition, __LINE__); \
            std::exit(1);                                                               \
        }                                                                               \
    } while (0)
