// Runs pelorin-sim (PELORIN_SIM) with arguments, as a user would, and collects what it prints.
#pragma once

#include <cstdio>
#include <string>
#include <sys/wait.h>

/// The program's exit status (-1 when it did not exit), with stdout and stderr appended to `output`.
/// `shell_first` runs in the same shell before it (limits, signal dispositions).
inline int run_command(const std::string& arguments, std::string* output,
                       const std::string& shell_first = "") {
    const std::string command = shell_first + std::string(PELORIN_SIM) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
        output->append(buffer, n);
    }
    const int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
