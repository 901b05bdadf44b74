// The host operating system: task table, dispatcher steps, resynchronisation, restarts and interrupts.
#include "host_fixture.h"

#include <vector>

namespace {

using HostOsTest = HostTest;

void no_entry(void*) {}

/// A host with its own task table (the application's tasks removed).
HostOs* bare_host(Cluster& cluster, unsigned node) {
    HostOs* os = cluster.apps[node].os;
    os->task_count = 0;
    os->timer = 0;
    os->current_task = 0;
    os->cycle_count = 0;
    return os;
}

std::vector<uint32_t> timer_steps(HostOs* os, int releases) {
    std::vector<uint32_t> steps;
    for (int i = 0; i < releases; ++i) {
        uint32_t before = os->timer;
        dispatch_next_task(os);
        steps.push_back(os->timer - before);
    }
    return steps;
}

TEST_F(HostOsTest, TasksAreKeptSortedAndTheTableHasTenPlaces) {
    HostOs* os = bare_host(*cluster, NODE_M1);
    EXPECT_EQ(add_task(os, "b", 300, MODES_ALL, no_entry, nullptr), 0);
    EXPECT_EQ(add_task(os, "a", 100, MODES_ALL, no_entry, nullptr), 0);
    EXPECT_EQ(add_task(os, "c", 300, MODES_ALL, no_entry, nullptr), 1); // before the task of the same start
    EXPECT_STREQ(os->tasks[1].name, "c");
    EXPECT_STREQ(os->tasks[2].name, "b");
    for (int i = 3; i < 10; ++i) {
        EXPECT_GE(add_task(os, "x", 1000 + i, MODES_ALL, no_entry, nullptr), 0);
    }
    EXPECT_EQ(add_task(os, "full", 5, MODES_ALL, no_entry, nullptr), -1);
    EXPECT_EQ(os->task_count, 10u);
}

TEST_F(HostOsTest, DispatcherAdvancesTheTimerByTheDistanceToTheNextEnabledTask) {
    HostOs* os = bare_host(*cluster, NODE_M1);
    ASSERT_EQ(os->cycle_length, 2000u);
    for (uint32_t start : {0u, 50u, 100u, 300u, 1100u}) {
        add_task(os, "t", start, MODES_ALL, no_entry, nullptr);
    }
    EXPECT_EQ(timer_steps(os, 5), (std::vector<uint32_t>{50, 50, 200, 800, 900}));
    EXPECT_EQ(os->cycle_count, 1u); // the release of the task at 1100 wraps the cycle

    // Tasks at 0 and 300 do not run in the present mode (mode 1).
    os = bare_host(*cluster, NODE_M2);
    set_cluster_mode(os->cni->status.cstate, 1);
    for (uint32_t start : {0u, 300u}) {
        add_task(os, "app", start, MODES_NOT_STARTUP, no_entry, nullptr);
    }
    for (uint32_t start : {50u, 100u, 1100u}) {
        add_task(os, "t", start, MODES_ALL, no_entry, nullptr);
    }
    os->current_task = 1; // the task at 50
    EXPECT_EQ(timer_steps(os, 3), (std::vector<uint32_t>{50, 1000, 950}));
}

TEST_F(HostOsTest, SingleEnabledTaskAdvancesByAWholeCycle) {
    HostOs* os = bare_host(*cluster, NODE_M1);
    set_cluster_mode(os->cni->status.cstate, 1);
    add_task(os, "app", 0, MODES_NOT_STARTUP, no_entry, nullptr);
    add_task(os, "monitor", 50, MODES_ALL, no_entry, nullptr);
    os->current_task = 1;
    EXPECT_EQ(timer_steps(os, 2), (std::vector<uint32_t>{2000, 2000}));
    EXPECT_EQ(os->cycle_count, 2u);
}

TEST_F(HostOsTest, ResynchronisationFindsTheNextTaskFromTheLocalClock) {
    HostOs* os = cluster->apps[NODE_M1].os; // evaluation 0, monitor 50, measurement 300, lifesign 850, 1850
    CState& cs = os->cni->status.cstate;
    set_medl_position(cs, 1); // offset 250
    set_global_time(cs, 5000);
    set_local_time(os->controller->working_status, 5010);
    set_local_time(os->cni->status, 5010);
    resync_tasks(os);
    EXPECT_EQ(os->current_task, 3u); // lifesign 850: the measurement does not run in mode 1
    EXPECT_EQ(os->timer, 5010u + 590u);
    EXPECT_TRUE(traced("HM1", "Detected slot 1, selected task 3, timer set to 5600."));

    // A local clock just before the slot start is slightly earlier in the cycle, not far beyond its end.
    set_medl_position(cs, 7); // offset 1750
    set_local_time(os->controller->working_status, 4990);
    set_local_time(os->cni->status, 4990);
    resync_tasks(os);
    EXPECT_EQ(os->current_task, 4u); // lifesign 1850 from offset 1740
    EXPECT_EQ(os->timer, 4990u + 110u);
}

TEST_F(HostOsTest, InterruptTimeoutRestartsOnlyASynchronisedController) {
    HostOs* os = cluster->apps[NODE_O1].os;
    cni_hooks.write_controller_on(*os->cni, 0xFFFF);
    at_time(3000, [&] {
        os->last_interrupt_time = 0;
        set_protocol_state(os->cni->status, PS_LISTEN);
        EXPECT_EQ(check_interrupt_timeout(os), 0);
        EXPECT_EQ(os->last_interrupt_time, 3000.0);
        EXPECT_EQ(check_interrupt_timeout(os), 0); // within the cycle now

        os->last_interrupt_time = 0;
        set_protocol_state(os->cni->status, PS_APPLICATION);
        EXPECT_EQ(check_interrupt_timeout(os), 1);
        EXPECT_EQ(get_controller_on(*os->cni), 0u);
    });
    cancel(os);
    run_until(3000);
    EXPECT_TRUE(traced("HO1", "Controller in LISTEN or COLD_START state, trying again."));
    EXPECT_TRUE(traced("HO1", "Restarting controller."));
}

TEST_F(HostOsTest, HostGivesUpAfterAHundredValidationWaitsAndStartsAgain) {
    // M2 alone: its cold start frames are never answered, so its controller never adopts a C-state.
    for (unsigned n : {NODE_M1, NODE_O1, NODE_O2}) {
        cancel(cluster->apps[n].os);
    }
    HostOs* os = cluster->apps[NODE_M2].os;
    run_until(100 + 100 * 200.0 + 1);
    std::string text = trace_text();
    EXPECT_NE(text.find("HM2: Waiting for C-State Validation (Iteration no. 1).\n"), std::string::npos);
    EXPECT_NE(text.find("HM2: Waiting for C-State Validation (Iteration no. 100).\n"), std::string::npos);
    EXPECT_EQ(text.find("Iteration no. 101)"), std::string::npos);
    EXPECT_TRUE(traced("HM2", "Too many wait iterations. Restarting!"));
    run_until(sim_time() + 200);
    EXPECT_EQ(os->controller_starts, 2u);
}

TEST_F(HostOsTest, ServiceRunsHandlersInOrderAndClearsEveryPendingStatus) {
    HostOs* os = cluster->apps[NODE_O2].os;
    std::vector<std::string> calls;
    static std::vector<std::string>* record = nullptr;
    record = &calls;
    set_mc_handler(
        os, [](void*) { record->push_back("mc"); }, nullptr);
    for (unsigned interrupt : {IRQ_UI1, IRQ_MC, IRQ_BE, IRQ_UI2}) {
        set_interrupt_status(*os->cni, interrupt, 1);
    }
    service_interrupts(os);
    EXPECT_EQ(calls, (std::vector<std::string>{"mc"}));
    for (unsigned interrupt = 0; interrupt < IRQ_COUNT; ++interrupt) {
        EXPECT_EQ(get_interrupt_status(*os->cni, interrupt), 0u);
    }
    std::string text = trace_text();
    size_t be = text.find("Received 'be' interrupt");
    size_t mc = text.find("Received 'mc' interrupt");
    size_t ui2 = text.find("Received 'ui2' interrupt");
    size_t ui1 = text.find("Received 'ui1' interrupt");
    ASSERT_NE(ui1, std::string::npos);
    EXPECT_LT(be, mc);
    EXPECT_LT(mc, ui2);
    EXPECT_LT(ui2, ui1);
}

TEST_F(HostOsTest, MessagesAreReadOnlyWhenMarkedValid) {
    HostOs* os = cluster->apps[NODE_O1].os;
    const uint32_t pair[2] = {0, 3};
    uint8_t out[4] = {};
    EXPECT_NE(read_message_pair(os, pair, 0, out), 0);
    write_message_float(os, 3, 0, 7.5f);
    validate_message(os, 3);
    ASSERT_EQ(read_message_pair(os, pair, 0, out), 0); // the B copy when A is not valid
    float value;
    std::memcpy(&value, out, sizeof value);
    EXPECT_EQ(value, 7.5f);
    write_message_float(os, 0, 14, 1.0f); // bytes beyond the 16 data bytes are not written
    EXPECT_EQ(message_status_of(os, 3), MESSAGE_VALID);
}

TEST_F(HostOsTest, ShortMessageAtTheEndOfTheAreaIsServedAsTheListReaderAcceptsIt) {
    // 2 * 9213 + 2 header bytes + 4 data bytes = 18432: the last four bytes of the message area, which a
    // list may give a 4-byte message; asking for all 16 data bytes would refuse it.
    constexpr uint32_t last = 9213;
    ASSERT_TRUE(message_fits(last, sizeof(float)));
    HostOs* os = cluster->apps[NODE_O1].os;
    write_message_float(os, last, 0, 2.5f);
    validate_message(os, last);
    EXPECT_EQ(message_status_of(os, last), MESSAGE_VALID);
    uint8_t out[sizeof(float)] = {};
    ASSERT_EQ(read_message(os, last, 0, out, sizeof out), 0);
    float value;
    std::memcpy(&value, out, sizeof value);
    EXPECT_EQ(value, 2.5f);
}

} // namespace
