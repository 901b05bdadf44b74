// The bus guardian: when its window opens and closes in simulated time, how it judges the controller's
// trigger (failure code and the state it records), and how a reconfiguration during a hold takes over.
#include "ttpc/fp1busg.h"

#include "tests/kernel/kernel_fixture.h"
#include "ttpc/fp1ctrl.h"
#include "ttpc/sl1func.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <tuple>
#include <unistd.h>
#include <vector>

namespace {

std::vector<TtpController*> reports;

/// A one-shot process that acts at a given time, as the controller would.
struct Action : SimProcess {
    std::function<void()> run;
};
void action_body(SimProcess* process) {
    static_cast<Action*>(process)->run();
    passivate(1);
}

class GuardianTest : public KernelTest {
  protected:
    TtpController* c = new TtpController{};
    BusGuardian* bg = nullptr;

    void SetUp() override {
        KernelTest::SetUp();
        reports.clear();
        bg = create_bus_guardian("BG - Controller M1");
        bg->controller = c;
        bg->report_failure = [](TtpController* who) { reports.push_back(who); };
        c->bus_guardian = bg;
        schedule_after(bg->process, 0.0);
        run_until(0.0);
    }
    void TearDown() override {
        KernelTest::TearDown(); // frees the guardian with its process
        delete c;
    }
    void at(double t, std::function<void()> action) {
        auto* a = sim_new<Action>();
        inic_process(a, action_body);
        a->name = "Test";
        a->run = std::move(action);
        reactivate_at(a, t);
    }
    void trigger_at(double t, uint32_t v) {
        at(t, [this, v] { trigger(bg, v); });
    }
    void run_until(double t) {
        while (calendar()->suc_in_sqs != nullptr && calendar()->suc_in_sqs->evtime <= t) {
            ASSERT_TRUE(next_event());
        }
    }
    bool open() const { return may_send(bg, 0) && may_send(bg, 1); }
};

TEST_F(GuardianTest, WindowOpensAfterOffsetForDurationThenRestsForTheRound) {
    const auto file = std::filesystem::temp_directory_path() / ("pelorin-busg-" + std::to_string(getpid()));
    std::filesystem::remove(file);
    trace_to_file(file.c_str());
    configure(bg, BgParams{10, 20, 50, 0});
    EXPECT_FALSE(may_send(bg, 0) || may_send(bg, 1)); // armed, not open
    trigger_at(100.0, 1);
    trigger_at(125.0, 0);
    at(129.9, [this] { EXPECT_TRUE(open()); });
    run_until(1000.0);
    trace_off();
    EXPECT_EQ(bg->bg_state, BG_ARM);
    EXPECT_TRUE(reports.empty());
    std::stringstream log;
    log << std::ifstream(file).rdbuf();
    std::filesystem::remove(file);
    EXPECT_EQ(log.str(), "  100.0000: BG - Controller M1: Arm. Open scheduled at   110.0000.\n"
                         "  100.0000: BG - Controller M1: Holding: 10.0000\n"
                         "  110.0000: BG - Controller M1: Bus access enabled.\n"
                         "  110.0000: BG - Controller M1: Holding: 20.0000\n"
                         "  130.0000: BG - Controller M1: Bus access disabled.\n"
                         "  130.0000: BG - Controller M1: Holding: 50.0000\n");
}

TEST_F(GuardianTest, ZeroOffsetOpensAtTheTriggerOnlyTheEnabledChannels) {
    configure(bg, BgParams{0, 20, 50, 0});
    set_guardian_channel_select(bg, 2); // channel B only
    trigger_at(40.0, 1);
    run_until(40.0);
    EXPECT_EQ(sim_time(), 40.0);
    EXPECT_FALSE(may_send(bg, 0));
    EXPECT_TRUE(may_send(bg, 1));
    EXPECT_FALSE(may_send(bg, 2));
    EXPECT_FALSE(may_send(bg, 33)); // no bit beyond the two channels, and no shift past the word
}

TEST_F(GuardianTest, TriggerViolationsFailWithTheirCodeAndTheStateTheyHappenedIn) {
    struct Case {
        const char* what;
        std::vector<std::pair<double, uint32_t>> triggers; // window 10..30 after a raise at 0
        uint32_t channel_select, code, state;
    };
    const Case cases[] = {
        {"raised with no channel", {{0, 1}}, 0, BG_FAILURE_NO_CHANNEL, BG_ARM},
        {"held past the window", {{0, 1}, {0, 1}}, 3, BG_FAILURE_OUTSIDE_WINDOW, BG_ENABLE},
        {"released before the window", {{0, 1}, {5, 0}}, 3, BG_FAILURE_OUTSIDE_WINDOW, BG_START_TIMER},
        {"raised again in the window", {{0, 1}, {15, 0}, {20, 1}}, 3, BG_FAILURE_NOT_ARMED, BG_ENABLE},
        {"raised in the rest of the round", {{0, 1}, {15, 0}, {40, 1}}, 3, BG_FAILURE_NOT_ARMED, BG_DISABLE},
    };
    double base = 0;
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        base += 1000;
        configure(bg, BgParams{10, 20, 50, 0});
        set_guardian_channel_select(bg, k.channel_select);
        reports.clear();
        for (auto [t, v] : k.triggers) {
            trigger_at(base + t, v);
        }
        run_until(base + 500);
        EXPECT_EQ(std::tuple(bg->bg_state, bg->failure_code, bg->failure_state, bg->failed, bg->trigger),
                  std::tuple(BG_NODE_FAILURE, k.code, k.state, 1u, 0u));
        EXPECT_FALSE(may_send(bg, 0) || may_send(bg, 1));
        EXPECT_EQ(reports, std::vector<TtpController*>{c});
    }
    trigger(bg, 1); // Node Failure is left only by configuring
    EXPECT_EQ(bg->failure_code, BG_FAILURE_NOT_ARMED);
    EXPECT_EQ(bg->failure_state, BG_NODE_FAILURE);
    EXPECT_STREQ(bg_state_name(bg->bg_state), "Node Failure");
    configure(bg, BgParams{10, 20, 50, 0});
    EXPECT_EQ(bg->failed, 0u);
    trigger_at(base + 1000, 1);
    run_until(base + 1010);
    EXPECT_TRUE(open());
}

TEST_F(GuardianTest, ReconfigurationDuringAHoldActsOnTheNewState) {
    configure(bg, BgParams{10, 20, 1000, 0});
    trigger_at(0.0, 1);
    at(20.0, [this] { // during the window's hold, which would end at 30
        configure(bg, BgParams{5, 20, 100, 0});
        trigger(bg, 1);
    });
    trigger_at(30.0, 0);
    run_until(24.9);
    EXPECT_FALSE(open());
    run_until(44.9);
    EXPECT_TRUE(open());
    run_until(45.0);
    EXPECT_EQ(bg->bg_state, BG_DISABLE);
    reset(bg); // the end of the hold finds Initialize and goes on to Configure
    run_until(2000.0);
    EXPECT_EQ(bg->bg_state, BG_CONFIGURE);
    EXPECT_EQ(bg->enabled_channels, BG_BOTH_CHANNELS); // kept by reset
    EXPECT_TRUE(reports.empty());
}

} // namespace
