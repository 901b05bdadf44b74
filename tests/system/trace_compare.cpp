#include "trace_compare.h"

TraceDifference first_difference(std::istream& golden, std::istream& trace) {
    TraceDifference difference;
    std::string expected;
    std::string actual;
    while (std::getline(golden, expected)) {
        difference.line += 1;
        if (!std::getline(trace, actual)) {
            actual = "(the trace ends here)";
        }
        if (actual != expected) {
            difference.found = true;
            difference.expected = expected;
            difference.actual = actual;
            return difference;
        }
    }
    return difference;
}

std::string describe(const TraceDifference& difference) {
    if (!difference.found) {
        return "the first " + std::to_string(difference.line) +
               " lines agree with the golden trace: the change comes later in the run";
    }
    return "first difference at line " + std::to_string(difference.line) +
           ":\n  golden: " + difference.expected + "\n  now:    " + difference.actual;
}
