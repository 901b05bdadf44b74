// The exit statuses of pelorin-sim, one table for the single runs and the campaign subcommand alike. Every
// failure has its own, so a script can tell them apart. EXIT_STATUS_MEANINGS is the one list of them with
// their meanings: `pelorin-sim --help` prints it, the man page's EXIT STATUS section is made from that help,
// and the documentation test checks that the man page and the README list every status of the enum.
#pragma once

#include <cstdio>
#include <string>

enum ExitStatus : int {
    EXIT_DONE = 0,    // the run or campaign completed as asked
    EXIT_USAGE = 2,   // a bad command line, or an input that cannot be used (injection log, campaign CSV)
    EXIT_STUCK = 3,   // simulated time stopped advancing
    EXIT_REPLAY = 4,  // a replayed injection log does not match the run, or rows of it were never reached
    EXIT_OUTPUT = 5,  // an output (trace, injection log, campaign CSV or chart) cannot be written
    EXIT_HORIZON = 6, // the cluster did not complete the requested cycles within the simulated time allowed
    EXIT_WORKER = 7,  // a campaign worker process failed (the rows it finished are kept: --resume)
    EXIT_GOLDEN =
        8, // a campaign's fault-free run does not end with the cluster whole: nothing to judge against
    EXIT_ASSEMBLY = 255, // the configuration cannot be read or run (the message names the file and line)
};

struct ExitStatusMeaning {
    ExitStatus status;
    const char* meaning;
};

/// Every status with what it means, in the words of the help, the man page and the README.
inline constexpr ExitStatusMeaning EXIT_STATUS_MEANINGS[] = {
    {EXIT_DONE, "the run or campaign completed as asked"},
    {EXIT_USAGE,
     "a usage error, or an input file that cannot be used (a scenario, an injection log to replay, a "
     "campaign CSV to resume or to merge)"},
    {EXIT_STUCK, "simulated time stopped advancing (1,000,000 events at the same time)"},
    {EXIT_REPLAY,
     "a replayed injection log does not match the run, or the run ended before some of its rows"},
    {EXIT_OUTPUT, "an output cannot be written (the trace, the injection log, the slot events, the campaign "
                  "CSV or chart)"},
    {EXIT_HORIZON, "the cluster did not complete the requested cycles within the simulated time allowed (1 s "
                   "plus 20 ms per cycle)"},
    {EXIT_WORKER,
     "a campaign worker process failed (the rows it finished are kept: run again with --resume)"},
    {EXIT_GOLDEN, "a campaign's fault-free (golden) run does not end with every node in APPLICATION and a "
                  "member, so no experiment could be judged against it"},
    {EXIT_ASSEMBLY, "the configuration cannot be read or run (the message names the file, the line and what "
                    "to fix)"},
};

/// The list for the end of --help: "Exit status:", then one status a line ("  0    the run ...").
inline std::string exit_status_help() {
    std::string text = "Exit status:";
    for (const ExitStatusMeaning& entry : EXIT_STATUS_MEANINGS) {
        char status[16];
        std::snprintf(status, sizeof status, "\n  %-5d", static_cast<int>(entry.status));
        text += status;
        text += entry.meaning;
    }
    return text;
}
