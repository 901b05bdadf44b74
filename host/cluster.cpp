#include "host/cluster.h"

#include "kernel/trace.h"
#include "ttpc/sl1func.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#ifndef PELORIN_DATA_DIR
#define PELORIN_DATA_DIR "/usr/local/share/pelorin"
#endif

const char* const STARTUP_ERROR_TEXT =
    "Probably one or more MEDL tables could not be read from file.\nPlese check if the directory with the "
    "excutable contains also four files 'medlxx.txt'\n\nThe application will be now terminated.";
const char* const STARTUP_ERROR_CAPTION = "Sine Wave Application initialization error";

namespace {

constexpr const char* DRIFT_FILE = "clkdrift.txt";
constexpr const char* CONTROLLER_NAMES[NODE_COUNT] = {"Controller M1", "Controller M2", "Controller O1",
                                                      "Controller O2"};
constexpr const char* HOST_NAMES[NODE_COUNT] = {"HM1", "HM2", "HO1", "HO2"};
constexpr const char* CHANNEL_NAMES[CHANNEL_COUNT] = {"Channel A", "Channel B"};
/// A relative drift of -1 or less would stop or reverse a clock.
constexpr double LOWEST_DRIFT = -0.5;
constexpr double HIGHEST_DRIFT = 0.5;

std::string path_in(const char* directory, const std::string& name) {
    if (directory == nullptr || directory[0] == '\0') {
        return name;
    }
    return (std::filesystem::path(directory) / name).string();
}

void explain(std::string* why, const std::string& text) {
    if (why != nullptr) {
        *why = text;
    }
}

/// Reads the next drift; false with a reason when the file ends or holds something else.
bool read_drift(std::FILE* file, const std::string& path, unsigned node, double* drift, std::string* why) {
    int read = std::fscanf(file, "%lf\n", drift);
    if (read != 1) {
        explain(why, path + ": drift " + std::to_string(node + 1) + " of 4 (" + CONTROLLER_NAMES[node] +
                         (read == EOF ? ") is missing: the file ends early" : ") is not a number"));
        return false;
    }
    if (!std::isfinite(*drift) || *drift <= LOWEST_DRIFT || *drift >= HIGHEST_DRIFT) {
        explain(why, path + ": drift of " + CONTROLLER_NAMES[node] +
                         " must be a relative rate between -0.5 and 0.5 (e.g. 0.00005 for 50 ppm)");
        return false;
    }
    return true;
}

/// Checks what the host and the application assume of a node's list beyond what the controller needs.
bool node_runnable(const Medl& medl, unsigned node, const std::string& path, std::string* why) {
    char reason[200];
    if (!medl_runnable(medl, reason, sizeof reason)) {
        explain(why, path + ": " + reason);
        return false;
    }
    if (get_slot_position(medl.role_list.logical_name) != node + 1) {
        explain(why, path + ": role_list.logical_name.slot_position must be " + std::to_string(node + 1) +
                         " (the node index plus one)");
        return false;
    }
    return true;
}

} // namespace

int assemble_cluster(Cluster* cluster, const char* directory, std::string* why) {
    install_cni_hooks();
    cluster->laser = create_laser("Laser");
    init_laser(cluster->laser, cluster);
    cluster->fault_injector = create_fault_injector("Fault Injector");
    for (unsigned k = 0; k < CHANNEL_COUNT; ++k) {
        cluster->channels[k] = create_channel(CHANNEL_NAMES[k]);
    }
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        cluster->controllers[n] = create_controller(CONTROLLER_NAMES[n]);
    }
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        init_sine_app(&cluster->apps[n], HOST_NAMES[n]);
    }
    cluster->apps[NODE_M1].laser = cluster->apps[NODE_M2].laser = nullptr;
    cluster->apps[NODE_O1].laser = cluster->apps[NODE_O2].laser = cluster->laser;
    for (unsigned k = 0; k < CHANNEL_COUNT; ++k) {
        set_number(cluster->channels[k], k);
        cluster->channels[k]->blocked_callback = raise_bus_guardian_error;
    }

    const std::string drift_path = path_in(directory, DRIFT_FILE);
    std::FILE* drifts = std::fopen(drift_path.c_str(), "r");
    if (drifts == nullptr) {
        explain(why, drift_path + ": cannot be opened (" + std::strerror(errno) + ")");
        return ASSEMBLY_DRIFT_FAILED;
    }
    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        TtpController* c = cluster->controllers[n];
        attach_channel(c, CHANNEL_A, cluster->channels[CHANNEL_A]);
        attach_channel(c, CHANNEL_B, cluster->channels[CHANNEL_B]);
        double drift = 0.0;
        if (!read_drift(drifts, drift_path, n, &drift, why)) {
            std::fclose(drifts);
            return ASSEMBLY_DRIFT_FAILED;
        }
        set_drift(c, drift);
        MedlError error;
        if (read_medl(&c->medl, n, directory, &error) != MEDL_OK) {
            explain(why, error.message);
            std::fclose(drifts);
            return ASSEMBLY_MEDL_FAILED;
        }
        char name[16];
        std::snprintf(name, sizeof name, "medl%02u.txt", n);
        if (!node_runnable(c->medl, n, path_in(directory, name), why)) {
            std::fclose(drifts);
            return ASSEMBLY_MEDL_FAILED;
        }
    }
    std::fclose(drifts);

    for (unsigned n = 0; n < NODE_COUNT; ++n) {
        setup_sine_app(&cluster->apps[n], cluster->controllers[n]);
        set_cluster(&cluster->apps[n], cluster);
        if (n == NODE_O2) {
            set_vote_slots(&cluster->apps[n], &cluster->vote_slot[0], &cluster->vote_slot[1]);
        } else {
            set_vote_slots(&cluster->apps[n], &cluster->vote_slot[1], &cluster->vote_slot[0]);
        }
    }
    set_fault_target(cluster, TARGET_CNI);
    for (SineApp& app : cluster->apps) {
        (void)schedule_after(app.os, 0.0);
    }
    return ASSEMBLY_OK;
}

std::string find_configuration_directory(const char* explicit_directory, const char* executable_path) {
    if (explicit_directory != nullptr && explicit_directory[0] != '\0') {
        return explicit_directory;
    }
    std::error_code ignored;
    if (std::filesystem::exists("medl00.txt", ignored)) {
        return ".";
    }
    // The program's own file: a program started through PATH has a bare name in argv[0].
    std::filesystem::path program = std::filesystem::read_symlink("/proc/self/exe", ignored);
    if (program.empty() && executable_path != nullptr) {
        program = std::filesystem::absolute(executable_path, ignored);
    }
    if (!program.empty()) {
        const std::filesystem::path beside = program.parent_path();
        if (std::filesystem::exists(beside / "medl00.txt", ignored)) {
            return beside.string();
        }
        // An installation moved as a whole (a package unpacked elsewhere) keeps bin/ beside share/pelorin.
        const std::filesystem::path installed = beside.parent_path() / "share" / "pelorin";
        if (std::filesystem::exists(installed / "medl00.txt", ignored)) {
            return installed.string();
        }
    }
    if (std::filesystem::exists(std::filesystem::path(PELORIN_DATA_DIR) / "medl00.txt", ignored)) {
        return PELORIN_DATA_DIR;
    }
    return ".";
}
