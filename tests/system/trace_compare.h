// Comparing a run's trace with a golden trace kept in the repository, so that a failing fingerprint test
// says where behaviour changed, not only that it did.
#pragma once

#include <istream>
#include <string>

/// The first line at which a trace departs from the golden lines. Only as many lines as the golden text
/// holds are compared: the golden text is the head of a longer trace.
struct TraceDifference {
    bool found = false;
    unsigned line = 0;    // 1-based; when nothing was found, the number of lines compared
    std::string expected; // the golden line
    std::string actual;   // the trace's line; "(the trace ends here)" when it is shorter
};

TraceDifference first_difference(std::istream& golden, std::istream& trace);

/// One readable paragraph: the line number and both lines, or that the compared lines agree.
std::string describe(const TraceDifference& difference);
