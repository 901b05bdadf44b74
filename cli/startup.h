// What pelorin-sim does before any run or campaign: read the configuration, and tell the user why it cannot
// be used or what in it looks wrong. Nothing is written before this has succeeded.
#pragma once

#include "host/cluster_config.h"

#include <cstdio>
#include <string>

/// Reads and checks the configuration. On failure prints the start-up message with the reason (file, line,
/// what to fix) to stderr and returns false; on success prints each warning to stderr ("<program>: warning:
/// ...") and returns true.
bool load_configuration(const std::string& directory, const ConfigOverrides& overrides, ClusterConfig* config,
                        const char* program);
