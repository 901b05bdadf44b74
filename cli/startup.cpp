#include "cli/startup.h"

#include "host/cluster.h"

bool load_configuration(const std::string& directory, const ConfigOverrides& overrides, ClusterConfig* config,
                        const char* program) {
    std::string why;
    if (read_cluster_config(directory, overrides, config, &why) != ASSEMBLY_OK) {
        std::fprintf(stderr, "%s\n\nReason: %s\n", STARTUP_ERROR_TEXT, why.c_str());
        return false;
    }
    for (const std::string& warning : config->warnings) {
        std::fprintf(stderr, "%s: warning: %s\n", program, warning.c_str());
    }
    return true;
}
