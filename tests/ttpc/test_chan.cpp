// The channel: frame time on the wire, who gets a frame and in which order, what the sender's guardian
// vetoes at the start and at the end, collisions, aborts, bit flips, and callbacks that call back in.
#include "ttpc/fp1chan.h"

#include "tests/kernel/kernel_fixture.h"
#include "ttpc/fp1busg.h"
#include "ttpc/fp1ctrl.h"
#include "ttpc/sl1func.h"

#include <filesystem>
#include <fstream>
#include <memory>
#include <ostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

/// What the channel told a controller ('R' receive, 'S' sent, 'B' blocked, 'G' guardian failure), when,
/// and the controller's buffer at that moment.
struct Event {
    char what;
    TtpController* who;
    double time;
    uint8_t status = FRAME_STATUS_COMPLETE;
    uint32_t noise = 0;
    uint32_t frame_type = 0;
    bool operator==(const Event&) const = default;
};
void PrintTo(const Event& e, std::ostream* os) {
    *os << e.what << ' ' << e.who->name << " at " << e.time << " status " << int(e.status) << " noise "
        << e.noise << " type " << e.frame_type;
}
std::vector<Event> events;

void record(char what, TtpController* c) {
    const Frame& f = controller_frame(c, CHANNEL_A);
    events.push_back({what, c, sim_time(), f.status, f.noise, f.frame_type});
}
void on_receive(TtpController* c, unsigned) {
    record('R', c);
}
void on_sent(TtpController* c) {
    record('S', c);
    trigger(controller_bus_guardian(c), 0); // bus access ends, as the controller does
}

constexpr double N16_TIME = 152.587890625; // an N-frame of 16 data bytes

class ChannelTest : public KernelTest {
  protected:
    TtpChannel* channel = nullptr;
    std::vector<std::unique_ptr<TtpController>> nodes;
    TtpController *m1 = node("M1"), *m2 = node("M2"), *o1 = node("O1"), *o2 = node("O2");

    void SetUp() override {
        KernelTest::SetUp();
        events.clear();
        channel = create_channel("Channel A");
        set_number(channel, CHANNEL_A);
        channel->blocked_callback = [](TtpController* c) { record('B', c); };
        for (auto& c : nodes) {
            c->bus_guardian = create_bus_guardian("BG");
            c->bus_guardian->controller = c.get();
            c->bus_guardian->report_failure = [](TtpController* who) { record('G', who); };
            schedule_after(c->bus_guardian->process, 0.0);
            Frame& f = controller_frame(c.get(), CHANNEL_A); // an N-frame of 16 bytes 0xA0, 0xA1, ...
            set_data_length(f, FRAME_MAX_DATA);
            for (unsigned i = 0; i < FRAME_MAX_DATA; ++i) {
                set_data_byte(f, i, 0xA0 + i);
            }
        }
    } // the kernel frees channel and guardians; the nodes are the fixture's
    TtpController* node(const char* name) {
        auto* c = nodes.emplace_back(std::make_unique<TtpController>()).get();
        std::snprintf(c->name, sizeof c->name, "%s", name);
        return c;
    }
    /// Opens the node's guardian window now, for `duration`, with the trigger raised.
    void open_window(TtpController* c, int32_t duration = 1000) {
        configure(c->bus_guardian, BgParams{0, duration, 1000, 0});
        trigger(c->bus_guardian, 1);
        run_until(sim_time());
    }
    void run_until(double t) {
        while (calendar()->suc_in_sqs != nullptr && calendar()->suc_in_sqs->evtime <= t) {
            ASSERT_TRUE(next_event());
        }
    }
    const std::filesystem::path trace_file =
        std::filesystem::temp_directory_path() / ("pelorin-chan-" + std::to_string(getpid()));
    void start_trace() {
        std::filesystem::remove(trace_file);
        trace_to_file(trace_file.c_str());
    }
    /// The channel's trace lines since start_trace, without their time and name.
    std::string channel_trace() {
        trace_off();
        std::ifstream log(trace_file);
        std::string lines;
        for (std::string line; std::getline(log, line);) {
            lines += line.find(": Channel A: ") == 10 ? line.substr(23) + "\n" : "";
        }
        std::filesystem::remove(trace_file);
        return lines;
    }
    /// Registers the receivers, sends m1's frame now and runs past its end.
    void send_from_m1(std::vector<TtpController*> receivers, double until) {
        for (TtpController* r : receivers) {
            register_receiver(channel, r, on_receive);
        }
        ASSERT_EQ(transmit(channel, m1, on_sent), 0);
        run_until(until);
    }
};

TEST_F(ChannelTest, FrameTimeFollowsTheBoundedFrameLength) {
    Frame f = controller_frame(m1, CHANNEL_A);
    f.body.n.data_length = 0xFFFF; // corrupted: still at most 16 bytes on the wire
    EXPECT_EQ(transmission_time(f), N16_TIME);
    f.kind = FRAME_KIND_I;
    set_c_state_length(f, 3);
    EXPECT_EQ(transmission_time(f), 76.2939453125);
}

TEST_F(ChannelTest, DeliversAfterFrameTimeInRegistrationOrderNeverToTheSender) {
    start_trace();
    open_window(m1);
    const Frame built = controller_frame(m1, CHANNEL_A); // registering copies the channel's frame over it
    for (TtpController* c : {o1, m2, o2, m1}) {
        EXPECT_EQ(register_receiver(channel, c, on_receive), 0u);
    }
    register_receiver(channel, o1, on_receive); // registered once, keeps its place
    unregister_receiver(channel, m2);
    controller_frame(m1, CHANNEL_A) = built;
    ASSERT_EQ(transmit(channel, m1, on_sent), 0);
    EXPECT_EQ(controller_frame(o1, CHANNEL_A).status, FRAME_STATUS_ARRIVING);
    EXPECT_EQ(register_receiver(channel, m2, on_receive), 1u); // too late for this frame
    run_until(500.0);
    EXPECT_EQ(events, (std::vector<Event>{{'R', o1, N16_TIME}, {'R', o2, N16_TIME}, {'S', m1, N16_TIME}}));
    EXPECT_EQ(get_data_byte(controller_frame(o2, CHANNEL_A), 15), 0xAFu);
    EXPECT_EQ(controller_frame(m2, CHANNEL_A).status, FRAME_STATUS_ARRIVING);
    EXPECT_EQ(channel->receiver_count, 0u);
    EXPECT_EQ(channel->busy, 0u);
    EXPECT_EQ(channel_trace(),
              "Registering 1. receiver: O1\nRegistering 2. receiver: M2\nRegistering 3. receiver: O2\n"
              "Registering 4. receiver: M1\nRegistering 1. receiver: O1\n"
              "Sending N-frame (duration 152.59, arival at 152.59)\nRegistering 3. receiver: M2\n"
              "Receiver count 2.\n");
}

TEST_F(ChannelTest, CollisionDeliversTheFrameInTransitGarbled) {
    open_window(m1);
    open_window(m2);
    register_receiver(channel, o1, on_receive);
    ASSERT_EQ(transmit(channel, m1, on_sent), 0);
    EXPECT_EQ(transmit(channel, m2, on_sent), 1);
    run_until(200.0);
    send_from_m1({o1}, 400.0); // the next frame is clean again
    EXPECT_EQ(events, (std::vector<Event>{{'R', o1, N16_TIME, FRAME_STATUS_ARRIVING, 1},
                                          {'S', m1, N16_TIME},
                                          {'R', o1, 2 * N16_TIME},
                                          {'S', m1, 2 * N16_TIME}}));
}

TEST_F(ChannelTest, GuardianVetoesAtTheStartAndAtTheEnd) {
    configure(m1->bus_guardian, BgParams{0, 100, 100, 0}); // armed, not triggered: closed
    register_receiver(channel, o1, on_receive);
    EXPECT_EQ(transmit(channel, m1, on_sent), 1);
    m2->bus_guardian = nullptr; // a controller without guardian never gets the bus
    EXPECT_EQ(transmit(channel, m2, on_sent), 1);
    EXPECT_FALSE(is_planned(channel->process));
    EXPECT_EQ(controller_frame(o1, CHANNEL_A).status, FRAME_STATUS_EMPTY);

    open_window(m1, 100); // closes at 100 with the trigger raised; the frame ends at 152.59
    send_from_m1({}, 500.0);
    EXPECT_EQ(events, (std::vector<Event>{{'B', m1, 0.0, FRAME_STATUS_EMPTY},
                                          {'B', m2, 0.0, FRAME_STATUS_EMPTY},
                                          {'G', m1, 100.0},
                                          {'B', m1, N16_TIME}}));
    EXPECT_EQ(controller_frame(o1, CHANNEL_A).status, FRAME_STATUS_ARRIVING); // dropped: still arriving
    EXPECT_EQ(channel->receiver_count, 1u);
    EXPECT_EQ(channel->busy, 0u);
}

TEST_F(ChannelTest, AFrameStillOnTheWireWhenTheGuardiansGateClosesIsCutOffThere) {
    attach_channel(m1, CHANNEL_A, channel);
    m1->bus_guardian->gate_closed = cut_off_transmissions; // as every controller's guardian has it
    open_window(m1, 100);                                  // the frame would end at 152.59
    send_from_m1({o1}, 120.0);
    EXPECT_EQ(events, (std::vector<Event>{{'B', m1, 100.0}, {'G', m1, 100.0}}));
    EXPECT_EQ(channel->busy, 0u) << "the bus is free at once, not at the frame's end";
    EXPECT_FALSE(is_planned(channel->process));
    EXPECT_EQ(controller_frame(o1, CHANNEL_A).status, FRAME_STATUS_ARRIVING); // lost for the receiver
    EXPECT_EQ(register_receiver(channel, o2, on_receive), 0u) << "the next slot's receivers register";

    // A gate a fault holds open cuts nothing: the frame runs to its end and is delivered.
    events.clear();
    set_guardian_stuck_open(m2->bus_guardian, true);
    attach_channel(m2, CHANNEL_A, channel);
    m2->bus_guardian->gate_closed = cut_off_transmissions;
    open_window(m2, 10);
    ASSERT_EQ(transmit(channel, m2, on_sent), 0);
    run_until(400.0);
    EXPECT_EQ(events.front(), (Event{'G', m2, 110.0})); // it still watches its trigger: window 100 to 110
    EXPECT_EQ(events.back().what, 'S');
}

TEST_F(ChannelTest, AbortEndsOnlyTheSendersFrameAndAtOnce) {
    open_window(m1);
    send_from_m1({o1}, 50.0);
    abort_transmission(channel, o1);
    EXPECT_TRUE(is_planned(channel->process));
    abort_transmission(channel, m1);
    EXPECT_FALSE(is_planned(channel->process));
    run_until(500.0);
    EXPECT_EQ(events, (std::vector<Event>{{'R', o1, 0.0, FRAME_STATUS_ARRIVING}, {'S', m1, 0.0}}));
    EXPECT_EQ(channel->busy, 0u);
}

TEST_F(ChannelTest, BitFlipsInvertFrameTypeOfTheNextFramesOnly) {
    start_trace();
    open_window(m1);
    request_bit_flips(channel, 3);
    std::vector<uint32_t> types;
    for (int frame = 1; frame <= 4; ++frame) {
        send_from_m1({o1}, 200.0 * frame);
        types.push_back(controller_frame(o1, CHANNEL_A).frame_type);
    }
    EXPECT_EQ(types, (std::vector<uint32_t>{1, 1, 1, 0}));
    EXPECT_EQ(channel->bit_flips, 3u);
    const std::string lines = channel_trace();
    size_t flips = 0;
    for (size_t at = 0; (at = lines.find(">> Transmission error (bit flip)\n", at)) != std::string::npos;
         ++at) {
        ++flips;
    }
    EXPECT_EQ(flips, 3u);
}

struct {
    TtpChannel* channel;
    TtpController *sender, *next;
} reentry;
/// A receive callback that calls back into the channel in every way a controller could.
void reentrant_receive(TtpController* c, unsigned channel_number) {
    on_receive(c, channel_number);
    unregister_receiver(reentry.channel, reentry.next);
    EXPECT_EQ(register_receiver(reentry.channel, c, reentrant_receive), 1u); // the delivery is not over
    EXPECT_EQ(transmit(reentry.channel, reentry.next, on_sent), 1);
    abort_transmission(reentry.channel, reentry.sender); // the frame has left the wire
}

TEST_F(ChannelTest, CallbacksCallingBackInNeitherSkipNorRepeatNorGarble) {
    reentry = {channel, m1, o2};
    open_window(m1);
    open_window(o2);
    register_receiver(channel, o1, reentrant_receive);
    send_from_m1({o2}, 500.0);
    EXPECT_EQ(events, (std::vector<Event>{{'R', o1, N16_TIME}, {'R', o2, N16_TIME}, {'S', m1, N16_TIME}}));
    EXPECT_EQ(channel->receiver_count, 0u);
}

TEST_F(ChannelTest, ProgrammingErrorsEndTheRun) {
    EXPECT_DEATH(set_number(channel, 0x10000), "_value <= bit_mask\\(16\\), file ttpc\\\\fp1chan");
    EXPECT_DEATH(
        {
            std::vector<std::unique_ptr<TtpController>> many;
            for (unsigned i = 0; i <= MAX_SRU_COUNT; ++i) {
                register_receiver(channel, many.emplace_back(std::make_unique<TtpController>()).get(),
                                  nullptr);
            }
        },
        "channel->receiver_count < MAX_SRU_COUNT");
}

} // namespace
