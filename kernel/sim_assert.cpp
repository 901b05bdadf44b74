#include "kernel/sim_assert.h"

#include <cstdio>
#include <cstdlib>

void assertion_failed(const char* expression, const char* source, unsigned line) {
    std::fprintf(stderr, "Assertion failed: %s, file %s, line %u\n", expression, source, line);
    std::fflush(stderr);
    std::abort();
}

void width_failed(unsigned width, const char* source, unsigned line) {
    char expression[40];
    std::snprintf(expression, sizeof expression, "_value <= bit_mask(%u)", width);
    assertion_failed(expression, source, line);
}
