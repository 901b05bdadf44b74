// Merging a campaign's shards: the CSVs that separate runs of one campaign wrote (`--shard I/N`, on one
// machine or as the tasks of a cluster's array job), checked to hold one campaign's rows with every
// experiment exactly once, and written as the CSV, summary and chart that one run of the whole campaign
// writes, byte for byte.
//
// Refusals (exit status EXIT_USAGE; nothing is written): a file that is not a campaign CSV or names no
// campaign; a file whose last row is unfinished (the task that wrote it died: run it again with --resume);
// files of different campaigns (the first parameter that differs is named); an experiment in two files
// (both are named); experiments no file holds (the first are named, with how many). An output that cannot
// be written is EXIT_OUTPUT.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

struct MergeOptions {
    std::string out;
    std::string svg; // chart of the classes per field ("" = out with .svg)
    std::vector<std::string> shards;
    double upset_rate = 0.0; // as the campaign's (the summary only: not a parameter of the campaign)
};

/// Merges the shards into options.out and the chart, and prints the summary tables to `report`. Returns an
/// exit status of cli/exit_status.h, with a message on stderr when it is not EXIT_DONE.
int merge_campaign(const MergeOptions& options, std::FILE* report);
