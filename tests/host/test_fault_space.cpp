// What the campaigns learn from the model: the cluster's state as the convergence comparison sees it, and the
// golden run's accesses to the fault target (last uses, carries, intervals between accesses).
#include "../kernel/kernel_fixture.h"
#include "host/fault_space.h"
#include "host_fixture.h"
#include "kernel/random_stream.h"
#include "kernel/sim_state.h"
#include "ttpc/fp1busg.h"

#include <cstring>
#include <numeric>
#include <vector>

namespace {

StateDigest cluster_digest(const Cluster& cluster) {
    StateHash hash;
    state_hash_start(&hash);
    model_state(&hash);
    cluster_state(cluster, &hash);
    return state_hash_finish(&hash);
}

using ClusterState = HostTest;

TEST_F(ClusterState, EveryPieceThatDecidesTheFutureIsSeenAndOnlyReportsAreLeftOut) {
    run_until(150000.0);
    Cluster& c = *cluster;
    TtpController* o1 = c.controllers[NODE_O1];
    struct Piece {
        const char* name;
        void* bytes;
        size_t size;
        bool seen;
    };
    const Piece pieces[] = {
        {"a host task's release time", &c.apps[NODE_O1].os->timer, sizeof(uint32_t), true},
        {"an application's pending value", &c.apps[NODE_M2].have_value, sizeof(uint32_t), true},
        {"the vote slot", &c.vote_slot[0], sizeof(float), true},
        {"the injector's enable table", c.fault_injector->enabled.data(), sizeof(uint32_t), true},
        {"the injector's stream", &c.fault_injector->rng->index, sizeof(uint32_t), true},
        {"a controller register", &o1->csa_stack[2], sizeof(int32_t), true},
        {"a message byte", &o1->cni.message_area[1000], 1, true},
        {"a frame in transit", &c.channels[CHANNEL_B]->frame.body.n.data[3], 1, true},
        {"a guardian's window", &o1->bus_guardian->slot_duration, sizeof(uint32_t), true},
        {"the laser's hits", &c.laser->hits, sizeof(uint32_t), true},
        {"a host's controller starts (report)", &c.apps[NODE_O1].os->controller_starts, sizeof(uint32_t),
         false},
        {"an application's mismatches (report)", &c.apps[NODE_O2].mismatches, sizeof(uint32_t), false},
        {"the injector's injections (report)", &c.fault_injector->injections, sizeof(uint32_t), false},
        {"a guardian's failure count (report)", &o1->bus_guardian->failure_count, sizeof(uint32_t), false},
        {"a channel's bit flips (report)", &c.channels[CHANNEL_A]->bit_flips, sizeof(uint32_t), false},
        {"a controller's list (constant)", &o1->medl.slot_control_entry[3], 1, false},
    };
    const StateDigest golden = cluster_digest(c);
    for (const Piece& piece : pieces) {
        std::vector<uint8_t> saved(static_cast<uint8_t*>(piece.bytes),
                                   static_cast<uint8_t*>(piece.bytes) + piece.size);
        static_cast<uint8_t*>(piece.bytes)[0] ^= 0x10;
        EXPECT_EQ(cluster_digest(c) != golden, piece.seen) << piece.name;
        std::memcpy(piece.bytes, saved.data(), piece.size);
    }
    EXPECT_EQ(cluster_digest(c), golden);
}

// --- The access log ---------------------------------------------------------------------------------------

/// A process that makes scripted accesses to a small area, one list per step, ten time units apart.
struct Accessor : SimProcess {
    const std::vector<std::vector<std::function<void()>>>* script;
    size_t next;
};

void accessor_body(SimProcess* process) {
    auto* a = static_cast<Accessor*>(process);
    if (a->next < a->script->size()) {
        for (const std::function<void()>& access : (*a->script)[a->next]) {
            access();
        }
        a->next += 1;
    }
    hold(10.0, SIM_START + 1);
}

class AccessLog : public KernelTest {
  protected:
    uint32_t area[3] = {0x0000000F, 0, 0};
    const uint32_t mask[3] = {0xFF, 0x0000FFFF, 0x0F};
    FaultSpaceLog log{};

    void run(const std::vector<std::vector<std::function<void()>>>& script, double from, double to,
             double horizon) {
        auto* a = sim_new<Accessor>();
        inic_process(a, accessor_body);
        a->script = &script;
        reactivate_at(a, 10.0); // steps at 10, 20, 30 ...
        start_fault_space_log(&log, area, mask, 3);
        access_recorder = &log;
        while (calendar()->suc_in_sqs->evtime <= from) {
            ASSERT_TRUE(next_event());
        }
        start_intervals(&log, from, to);
        while (calendar()->suc_in_sqs->evtime <= horizon) {
            ASSERT_TRUE(next_event());
        }
        finish_intervals(&log, horizon);
        access_recorder = nullptr;
    }
    std::vector<BitInterval> of(uint32_t word, uint32_t bit) const {
        std::vector<BitInterval> found;
        for (const BitInterval& i : log.intervals) {
            if (i.word == word && i.bit == bit) {
                found.push_back(i);
            }
        }
        return found;
    }
};

TEST_F(AccessLog, IntervalsEndAtTheFirstAccessOfAStepAndCoverTheWindow) {
    const std::vector<std::vector<std::function<void()>>> script = {
        {},                                                                         // 10
        {[&] { access_read(&area[0], 0x3); }, [&] { recorded_store(area[0], 0); }}, // 20: read, then write
        {[&] { access_write(&area[0]); }, [&] { access_read(&area[0], 0xFF); }},    // 30: write, then read
        {[&] { access_byte(&area[1], 0xF0, ACCESS_READ); }},                        // 40: a nibble of byte 0
        {[&] { access_read_bytes(reinterpret_cast<uint8_t*>(&area[1]) + 1, 2); }},  // 50: bytes 1-2 (mask: 1)
        {[&] { access_carry(&area[2], 0x0F); }},                                    // 60: a counter's update
    };
    run(script, 15.0, 45.0, 100.0);

    const std::vector<BitInterval> bit0 = of(0, 0);
    ASSERT_EQ(bit0.size(), 3u);
    EXPECT_EQ(bit0[0].end, IntervalEnd::READ); // the read came first in step 2
    EXPECT_EQ(bit0[0].value, 1u);              // the value the read found
    EXPECT_EQ(bit0[0].from_us, 15.0);
    EXPECT_EQ(bit0[0].to_us, 20.0);
    EXPECT_EQ(bit0[0].step, 2u);
    EXPECT_EQ(bit0[1].end, IntervalEnd::WRITE); // the write came first in step 3
    EXPECT_EQ(bit0[1].value, 0u);
    EXPECT_EQ(bit0[2].end, IntervalEnd::NONE); // nothing after 30: latent to the horizon
    EXPECT_EQ(bit0[2].to_us, 100.0);
    EXPECT_EQ(of(0, 2)[0].end, IntervalEnd::WRITE); // bit 2 was not among the first read's bits

    EXPECT_EQ(of(1, 4)[0].end, IntervalEnd::READ); // the high nibble of byte 0
    EXPECT_EQ(of(1, 4)[0].to_us, 40.0);
    EXPECT_EQ(of(1, 3)[0].end, IntervalEnd::NONE);
    EXPECT_EQ(of(1, 8)[0].to_us, 50.0); // byte 1 of the copy
    EXPECT_TRUE(of(1, 16).empty());     // byte 2 lies outside the mask
    EXPECT_EQ(of(2, 1)[0].end, IntervalEnd::CARRY);
    EXPECT_EQ(of(2, 1).size(), 1u) << "closed after the window's end: its last interval";

    // Each mask bit's intervals cover the window exactly once.
    for (uint32_t w = 0; w < 3; ++w) {
        for (uint32_t b = 0; b < 32; ++b) {
            if ((mask[w] >> b & 1) != 0) {
                double covered = 0.0;
                for (const BitInterval& i : of(w, b)) {
                    covered += interval_weight(i, 15.0, 45.0);
                }
                EXPECT_DOUBLE_EQ(covered, 30.0) << "word " << w << " bit " << b;
            }
        }
    }
}

TEST_F(AccessLog, ADifferenceStaysOnlyInBitsNothingUsesLaterCarriesIncluded) {
    const std::vector<std::vector<std::function<void()>>> script = {
        {[&] { access_read(&area[0], 0x1); }},     // 10: step 1
        {[&] { access_carry(&area[2], 0x0F); }},   // 20: step 2
        {[&] { access_read(&area[2], 0x8); }},     // 30: step 3: a use of the counter's top bit
        {[&] { access_carry(&area[1], 0x00FF); }}, // 40: step 4
    };
    run(script, 0.0, 50.0, 60.0);
    const auto stays = [&](uint32_t word, uint32_t bits, uint64_t step) {
        return difference_stays(log.last_use, log.carry_field, mask, word, bits, step);
    };
    EXPECT_FALSE(stays(0, 0x1, 0)); // read at step 1
    EXPECT_TRUE(stays(0, 0x1, 1));
    EXPECT_TRUE(stays(0, 0x2, 0)); // never accessed
    // Bit 0 of the counter is only carried, but a carry spreads to bit 3, which step 3 uses.
    EXPECT_FALSE(stays(2, 0x1, 2));
    EXPECT_TRUE(stays(2, 0x1, 3));
    EXPECT_TRUE(stays(1, 0x1, 0)); // carried only
    EXPECT_FALSE(stays(1, 0x10000, 3)) << "outside the mask: not followed";
}

TEST_F(AccessLog, AWatchedBitIsSettledByItsFirstAccessAfterTheWatchBegan) {
    const std::vector<std::vector<std::function<void()>>> script = {
        {[&] { access_read(&area[0], 0x1); }},                                      // 10: before the watch
        {[&] { recorded_store(area[0], 0); }, [&] { access_read(&area[0], 0x2); }}, // 20: write first
        {[&] { access_read(&area[0], 0x2); }},                                      // 30: bit 1 again
        {[&] { access_read_bytes(&area[1], 1); }},                                  // 40: a copy's byte 0
        {[&] { access_carry(&area[2], 0x0F); }},                                    // 50: a counter
    };
    auto* a = sim_new<Accessor>();
    inic_process(a, accessor_body);
    a->script = &script;
    reactivate_at(a, 10.0);
    BitWatch watch{};
    start_bit_watch(&watch, area, 3);
    access_recorder = &watch;
    ASSERT_TRUE(next_event()); // step 1: nothing watched yet
    const uint32_t bit0 = watch_bit(&watch, 0, 0);
    const uint32_t bit1 = watch_bit(&watch, 0, 1);
    const uint32_t again = watch_bit(&watch, 0, 1); // two watchers of one bit
    const uint32_t byte = watch_bit(&watch, 1, 7);
    const uint32_t beyond = watch_bit(&watch, 1, 8); // not in the copy's byte
    const uint32_t counter = watch_bit(&watch, 2, 2);
    while (calendar()->suc_in_sqs->evtime <= 60.0) {
        ASSERT_TRUE(next_event());
    }
    access_recorder = nullptr;
    EXPECT_EQ(watch.first_access[bit0], IntervalEnd::WRITE) << "the read before the watch does not count";
    EXPECT_EQ(watch.first_access[bit1], IntervalEnd::WRITE) << "the store came first in step 2";
    EXPECT_EQ(watch.first_access[again], IntervalEnd::WRITE);
    EXPECT_EQ(watch.first_access[byte], IntervalEnd::READ);
    EXPECT_EQ(watch.first_access[beyond], IntervalEnd::NONE);
    EXPECT_EQ(watch.first_access[counter], IntervalEnd::CARRY);
}

} // namespace

namespace {

/// The golden run's accesses to O1's interface over one cluster cycle in the steady state.
class GoldenAccesses : public HostTest {
  protected:
    FaultSpaceLog log{};
    static constexpr double FROM = 200000.0;
    static constexpr double TO = 202000.0;
    static constexpr double HORIZON = 206000.0;

    void record(uint32_t target) {
        run_until(FROM);
        set_fault_target(cluster.get(), target);
        FaultInjector* fi = cluster->fault_injector;
        start_fault_space_log(&log, fi->areas[FAULT_ENABLED_AREA], fi->mask, fi->word_count);
        access_recorder = &log;
        start_intervals(&log, FROM, TO);
        run_until(HORIZON);
        finish_intervals(&log, HORIZON);
        access_recorder = nullptr;
    }
    /// How the intervals of a bit end, in order: R read, W write, C carry, - none before the horizon.
    std::string ends(uint32_t word, uint32_t bit) const {
        std::string text;
        for (const BitInterval& i : log.intervals) {
            if (i.word == word && i.bit == bit) {
                text += "RWC-"[static_cast<unsigned>(i.end)];
            }
        }
        return text;
    }
};

TEST_F(GoldenAccesses, TheInterfaceIsReadAndWrittenWhereTheProtocolDoes) {
    record(TARGET_CNI);
    const std::string controller_on = ends(218, 0); // read after every wait of the controller
    EXPECT_GE(controller_on.size(), 16u);
    EXPECT_EQ(controller_on.find_first_not_of('R'), std::string::npos) << controller_on;
    EXPECT_EQ(ends(197, 5), "-");                         // timer2: nobody uses it
    EXPECT_EQ(ends(1, 0).substr(0, 1), "W");              // spare_word: overwritten by publication
    EXPECT_NE(ends(188, 0).find('R'), std::string::npos); // host_lifesign: checked at the own slot
    EXPECT_NE(ends(188, 0).find('W'), std::string::npos); // and written by the host
    EXPECT_EQ(ends(220, 0).find_first_not_of('C'), std::string::npos)
        << "M1's update count, carried at receptions";
    EXPECT_NE(ends(220, 20).find('W'), std::string::npos); // M1's time to shoot, byte 2: delivered
    EXPECT_NE(ends(189, 3).find('R'), std::string::npos);  // external_correction: clock synchronisation
    EXPECT_NE(ends(174, 0).find('R'), std::string::npos);  // controller_lifesign: answered by the host
    EXPECT_NE(ends(4, 0).find('R'), std::string::npos);    // cluster_mode: the host's task dispatch
}

TEST_F(GoldenAccesses, FrameBuffersAreFilledByDeliveriesAndReadByTheirJudgement) {
    record(TARGET_REG);
    constexpr uint32_t FRAME_B = 80;                              // the second buffer's first word
    EXPECT_NE(ends(5, 0).find('R'), std::string::npos);           // frame_type: in every CRC
    EXPECT_NE(ends(FRAME_B + 5, 0).find('W'), std::string::npos); // filled by a delivery
    EXPECT_NE(ends(163, 0).find('R'), std::string::npos) << "csa_stack at the synchronisation slot";
    EXPECT_NE(ends(167, 0).find('R'), std::string::npos) << "csa_index: where the measurement goes";
    EXPECT_NE(ends(182, 0).find('W'), std::string::npos); // mtd: measured at each reception
}

} // namespace
