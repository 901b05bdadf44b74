// A small cluster of real controllers on real channels for protocol tests, with message descriptor lists
// written as text (and read back through the reader) and a minimal host per node.
//
// The schedule: n nodes (2-4), slots of 250 macroticks, a TDMA round of n slots (node k owns slots k and
// k + n), a cluster cycle of two rounds. Mode 1 carries I-frames on both channels in every slot; mode 2
// carries I-frames in the first round (so that restarted nodes can integrate) and N-frames with the nodes'
// messages (addresses 6k and 6k + 3, 4 bytes) in the second. Every slot is a synchronisation frame slot;
// the fault-tolerant average is taken at the start of each round. The guardian opens 10 before each own
// slot (ba on the slot before it) for 150.
#pragma once

#include "kernel/sim_process.h"
#include "kernel/trace.h"
#include "ttpc/fp1busg.h"
#include "ttpc/fp1chan.h"
#include "ttpc/fp1ctrl.h"
#include "ttpc/medl.h"
#include "ttpc/sl1func.h"

#include "tests/scratch_directory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

struct ScheduleOptions {
    unsigned nodes = 4;
    unsigned slot_duration = 250;
    unsigned ifg_time = 100;
    unsigned c_state_length = 3;
    double micro_to_macro = 10.0;
    unsigned mmfc = 2;
    std::vector<unsigned> cold_start = {1, 1, 0, 0};
    std::vector<unsigned> startup_timeout = {100, 600, 1100, 1600};
    /// Node whose slots grant the deferred request "mode change 1" in mode 1 (mcp_d[0]).
    unsigned deferred_requester = 3;
    /// Extra lines appended to every node's list ("value key"), e.g. to change one entry.
    std::vector<std::string> extra_lines;
    /// When set, the nodes read medl00.txt .. medl03.txt of this directory instead of the lists above.
    std::string list_directory;
};

/// The text of node `node`'s message descriptor list.
inline std::string medl_text(const ScheduleOptions& o, unsigned node) {
    std::ostringstream m;
    const unsigned round = o.nodes * o.slot_duration;
    const unsigned slots = 2 * o.nodes;
    const unsigned frame_margin = 100;
    m << "# test list of node " << node << "\n";
    m << "1 revision\n";
    m << o.cold_start[node] << " controller_cfg_params.cf\n";
    m << o.c_state_length << " .c_state_length\n";
    m << round << " .tdma_round_length\n";
    m << o.startup_timeout[node] << " .startup_timeout\n";
    m << "100 .free_running_macroticks\n";
    m << o.mmfc << " .mmfc\n";
    m << o.micro_to_macro << " .micro_to_macro\n";
    m << "0 .max_cold_start_entry\n";
    const unsigned listen_timeout = o.startup_timeout[node] + 2 * round;
    const unsigned repeat_wait = o.startup_timeout[node] + round - o.slot_duration;
    m << repeat_wait - 5 << " bus_guardian_cold_start.bg_slot_offset\n";
    m << frame_margin << " .bg_slot_duration\n0 .bg_remaining_round\n";
    m << "0 role_list.logical_name.ps\n" << node + 1 << " .slot_position\n0 .multiplex_id\n";
    m << o.slot_duration - 10 << " role_list.bus_guardian.bg_slot_offset\n";
    m << "150 .bg_slot_duration\n" << round - 400 << " .bg_remaining_round\n";
    m << o.ifg_time << " implementation_params.ifg_time\n";
    m << "0 implementation_params.synchronization_period_params.bg_slot_offset\n";
    m << frame_margin << " .bg_slot_duration\n" << round - 400 << " .bg_remaining_round\n";
    m << listen_timeout - 5 << " implementation_params.listen_cold_start_period_params.bg_slot_offset\n";
    m << frame_margin << " .bg_slot_duration\n0 .bg_remaining_round\n";
    for (unsigned mode = 0; mode < MEDL_MODE_COUNT; ++mode) {
        for (unsigned k = 0; k < 3; ++k) {
            unsigned target = mode == 1 && k == 0 ? 2 : MEDL_NO_MODE_CHANGE;
            m << target << " mode_control_entry[" << mode << "].deferred_mode[" << k << "]\n";
        }
    }
    for (unsigned s = 0; s < slots; ++s) {
        const unsigned owner = s % o.nodes;
        const std::string slot = "slot_control_entry[" + std::to_string(s) + "]";
        m << o.slot_duration << " " << slot << ".sru_slot_duration\n";
        m << owner << " " << slot << ".membership_pos\n";
        m << "1 .ra\n" << (s == slots - 1 ? 1 : 0) << " .eot\n";
        m << (s % o.nodes == 0 ? 1 : 0) << " .cs\n1 .syf\n";
        m << ((s + 1) % o.nodes == node ? 1 : 0) << " .ba\n";
        m << "0 " << slot << ".logical_name.ps\n" << owner + 1 << " .slot_position\n0 .multiplex_id\n";
        for (unsigned mode = 1; mode <= 2; ++mode) {
            const std::string entry =
                "mode_address_entry[" + std::to_string(mode) + "][" + std::to_string(s) + "]";
            const bool n_frames = mode == 2 && s >= o.nodes;
            m << (n_frames ? 0 : 1) << " " << entry << ".ia\n" << (n_frames ? 0 : 1) << " .ib\n";
            m << (n_frames ? 6 * owner : MEDL_NO_MESSAGE) << " .cni_address_cha\n";
            m << (n_frames ? 6 * owner + 3 : MEDL_NO_MESSAGE) << " .cni_address_chb\n";
            m << "3 .dafla\n3 .daflb\n";
            m << (mode == 1 && owner == o.deferred_requester ? 1 : 0) << " .mcp_d[0]\n";
        }
    }
    for (const std::string& line : o.extra_lines) {
        m << line << "\n";
    }
    return m.str();
}

/// A minimal host: switches its controller on, answers every controller life sign, keeps its messages
/// valid, and counts interrupts. Tests switch its behaviour through the flags.
struct TestHost : SimProcess {
    TtpController* controller;
    unsigned node;
    double switch_on_at;
    bool answer_lifesign;
    bool validate_channel_b; // false: the host leaves its channel B message as it is
    uint32_t interrupts;
    std::vector<double>* interrupt_times;
};

enum : uint32_t { HOST_START = SIM_START, HOST_SWITCHED_OFF, HOST_RUNNING };
constexpr double TEST_HOST_PERIOD = 50.0;

inline void test_host_interrupt(void* arg) {
    auto* host = static_cast<TestHost*>(arg);
    host->interrupts += 1;
}

inline void write_node_messages(TtpController* c, unsigned node, float value, bool channel_b = true) {
    for (uint32_t address : {6 * node, 6 * node + 3}) {
        if (address == 6 * node + 3 && !channel_b) {
            continue;
        }
        uint8_t* message = message_at(c->cni, address);
        unsigned char bytes[4];
        std::memcpy(bytes, &value, sizeof value);
        for (unsigned i = 0; i < 4; ++i) {
            set_message_byte(message, i, bytes[i]);
        }
        set_message_status(message, MESSAGE_VALID);
    }
}

inline void test_host_body(SimProcess* process) {
    auto* host = static_cast<TestHost*>(process);
    TtpController* c = host->controller;
    switch (process->resume) {
    case HOST_START:
        hold(host->switch_on_at, HOST_SWITCHED_OFF);
        return;
    case HOST_SWITCHED_OFF:
        cni_hooks.write_controller_on(c->cni, 0xFFFF);
        hold(TEST_HOST_PERIOD, HOST_RUNNING);
        return;
    default:
        if (host->answer_lifesign) {
            set_host_lifesign(c->cni, ~get_controller_lifesign(c->cni.status) & 0xFFFF);
        }
        write_node_messages(c, host->node, 100.0f + static_cast<float>(host->node), host->validate_channel_b);
        hold(TEST_HOST_PERIOD, HOST_RUNNING);
        return;
    }
}

class ClusterTest : public ::testing::Test {
  protected:
    ScheduleOptions options;
    std::vector<TtpController*> nodes;
    std::vector<TestHost*> hosts;
    TtpChannel* channels[CHANNEL_COUNT] = {};
    std::filesystem::path directory;
    std::filesystem::path trace_file;

    void SetUp() override {
        directory = make_scratch_directory("pelorin-cluster");
        trace_file = directory / "debug.txt";
        trace_to_file(trace_file.c_str());
        inic_kernel();
        install_cni_hooks();
    }

    void TearDown() override {
        trace_off();
        dispose_all();
        EXPECT_EQ(memory_count(), 0u);
        if (std::getenv("PELORIN_KEEP_TRACE") == nullptr) {
            std::filesystem::remove_all(directory);
        }
    }

    /// Builds the cluster: channels, controllers with their lists and drifts, hosts switching on at the
    /// given times (default: all at 0).
    void build(std::vector<double> drifts = {}, std::vector<double> switch_on = {}) {
        channels[CHANNEL_A] = create_channel("Channel A");
        channels[CHANNEL_B] = create_channel("Channel B");
        for (unsigned k = 0; k < CHANNEL_COUNT; ++k) {
            set_number(channels[k], k);
            channels[k]->blocked_callback = raise_bus_guardian_error;
        }
        static const char* const names[] = {"Controller M1", "Controller M2", "Controller O1",
                                            "Controller O2"};
        for (unsigned n = 0; n < options.nodes; ++n) {
            TtpController* c = create_controller(names[n]);
            attach_channel(c, CHANNEL_A, channels[CHANNEL_A]);
            attach_channel(c, CHANNEL_B, channels[CHANNEL_B]);
            set_drift(c, n < drifts.size() ? drifts[n] : 0.0);
            std::filesystem::path list = directory / ("medl" + std::to_string(n) + ".txt");
            if (options.list_directory.empty()) {
                std::ofstream(list) << medl_text(options, n);
            } else {
                list = std::filesystem::path(options.list_directory) / ("medl0" + std::to_string(n) + ".txt");
            }
            MedlError why{};
            EXPECT_EQ(read_medl_file(&c->medl, list.c_str(), &why), MEDL_OK) << why.message;
            MedlRefusal refusal;
            EXPECT_TRUE(medl_runnable(c->medl, &refusal)) << refusal.reason;
            nodes.push_back(c);
        }
        for (unsigned n = 0; n < options.nodes; ++n) {
            auto* host = sim_new<TestHost>();
            inic_process(host, test_host_body);
            host->name = "Host";
            host->controller = nodes[n];
            host->node = n;
            host->switch_on_at = n < switch_on.size() ? switch_on[n] : 0.0;
            host->answer_lifesign = true;
            host->validate_channel_b = true;
            attach_host(nodes[n], host, test_host_interrupt);
            hosts.push_back(host);
            (void)schedule_after(host, 0.0);
        }
    }

    /// Runs the kernel until simulated time t; fails the test on a kernel error.
    void run_until(double t) {
        while (calendar()->suc_in_sqs != nullptr && calendar()->suc_in_sqs->evtime <= t) {
            ASSERT_TRUE(next_event()) << sim_error_message(kernel_error_code());
        }
    }
    /// Runs the kernel one step at a time until `done` holds (checked before every step), at most until
    /// simulated time `limit`; returns whether it held.
    bool run_until(const std::function<bool()>& done, double limit) {
        while (!done()) {
            if (calendar()->suc_in_sqs == nullptr || calendar()->suc_in_sqs->evtime > limit) {
                return false;
            }
            if (!next_event()) {
                ADD_FAILURE() << sim_error_message(kernel_error_code());
                return false;
            }
        }
        return true;
    }

    static uint8_t kernel_error_code() {
        SimErrorRecord record{};
        get_error(&record);
        return record.code;
    }

    uint32_t state_of(unsigned n) const { return get_protocol_state(nodes[n]); }
    uint32_t member(unsigned n, unsigned position) const {
        return get_membership(nodes[n]->working_status.cstate, position);
    }
    bool full_membership(unsigned n) const {
        for (unsigned p = 0; p < options.nodes; ++p) {
            if (member(n, p) == 0) {
                return false;
            }
        }
        return true;
    }
    /// Every node in `state`, with full membership and a guardian that never failed; names the first that
    /// is not.
    ::testing::AssertionResult all_members_in(uint32_t state) const {
        for (unsigned n = 0; n < options.nodes; ++n) {
            if (state_of(n) != state) {
                return ::testing::AssertionFailure() << "node " << n << " is in state " << state_of(n);
            }
            if (!full_membership(n)) {
                return ::testing::AssertionFailure() << "node " << n << " lacks full membership";
            }
            if (nodes[n]->bus_guardian->failed != 0) {
                return ::testing::AssertionFailure() << "node " << n << "'s guardian failed";
            }
        }
        return ::testing::AssertionSuccess();
    }
    std::string trace_text() const {
        std::ifstream in(trace_file);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
    /// Trace lines written on behalf of `object_name`, without the time prefix.
    std::vector<std::string> lines_of(const std::string& object_name) const {
        std::vector<std::string> lines;
        std::istringstream in(trace_text());
        std::string line;
        const std::string marker = ": " + object_name + ": ";
        while (std::getline(in, line)) {
            size_t at = line.find(marker);
            if (at != std::string::npos && at >= 10 && at <= 14) {
                lines.push_back(line.substr(at + marker.size()));
            }
        }
        return lines;
    }
    static bool contains(const std::vector<std::string>& lines, const std::string& text) {
        for (const std::string& line : lines) {
            if (line == text) {
                return true;
            }
        }
        return false;
    }
};
