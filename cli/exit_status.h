// The exit statuses of pelorin-sim, one table for the single runs and the campaign subcommand alike. The
// README and `pelorin-sim --help` list them; every failure has its own, so a script can tell them apart.
#pragma once

enum ExitStatus : int {
    EXIT_DONE = 0,    // the run or campaign completed
    EXIT_USAGE = 2,   // a bad command line, or an input that cannot be used (injection log, campaign CSV)
    EXIT_STUCK = 3,   // simulated time stopped advancing
    EXIT_REPLAY = 4,  // a replayed injection log does not match the run
    EXIT_OUTPUT = 5,  // an output (injection log, campaign CSV or chart) cannot be written
    EXIT_HORIZON = 6, // the cluster did not complete the requested cycles within the simulated time allowed
    EXIT_WORKER = 7,  // a campaign worker process failed (the rows it finished are kept: --resume)
    EXIT_ASSEMBLY = 255, // the configuration cannot be read or run (the message names the file and line)
};

/// The table above as text, for --help.
constexpr const char* EXIT_STATUS_HELP =
    "Exit status: 0 done; 2 usage error or unusable input file; 3 simulated time stopped advancing;\n"
    "4 replayed log does not match the run; 5 an output cannot be written; 6 the cycles were not reached\n"
    "within the simulated time allowed; 7 a campaign worker failed; 255 the configuration cannot be read.";
