// Comparing two campaigns: per class, the share of A's experiments minus the share of B's, with a 95%
// interval for the difference of two independent proportions (Newcombe's hybrid score interval, built from
// the two Wilson intervals), so that two targets, nodes or configurations (a bus guardian that works
// against one stuck open) are told apart by more than chance.
//
// Refusals (exit status EXIT_USAGE): a file that is not a campaign CSV, names no campaign or holds no rows;
// an exhaustive scan (its shares are exact: compare its summary).
#pragma once

#include "cli/campaign_report.h"

#include <cstdio>
#include <string>

struct CompareOptions {
    std::string a;
    std::string b;
};

/// The 95% interval of x1 / n1 - x2 / n2 (Newcombe's method 10); 0 - 0 when either n is 0.
Wilson difference_interval(unsigned x1, unsigned n1, unsigned x2, unsigned n2);

/// Prints the comparison of options.a and options.b to `report`. Returns an exit status of
/// cli/exit_status.h, with a message on stderr when it is not EXIT_DONE.
int compare_campaigns(const CompareOptions& options, std::FILE* report);
