// The checking macro and bitwise comparison shared by the C++ unit checks.
#pragma once

#include <cstdio>
#include <cstring>

static int failures = 0;
static int checks = 0;

#define CHECK(cond)                                                      \
    do {                                                                 \
        ++checks;                                                        \
        if (!(cond)) {                                                   \
            ++failures;                                                  \
            std::printf("FAILED %s:%d: %s\n", __FILE__, __LINE__, #cond); \
        }                                                                \
    } while (0)

[[maybe_unused]] static bool same(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
