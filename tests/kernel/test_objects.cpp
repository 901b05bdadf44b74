// Kernel objects: validity classification, the memory list, lists, disposal and the error table.
#include "kernel_fixture.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Counted : SimProcess {
    int* destroyed;
};

void count_destruction(SimObject* object) {
    *static_cast<Counted*>(object)->destroyed += 1;
}

void idle_body(SimProcess*) {
    passivate(1);
}

Counted* make_counted(int* destroyed) {
    auto* p = sim_new<Counted>();
    inic_process(p, idle_body);
    p->destroyed = destroyed;
    p->destructor = count_destruction;
    return p;
}

std::vector<SimObject*> memory_list() {
    std::vector<SimObject*> objects;
    SimObject* first_object = heap()->memory_suc;
    for (SimObject* o = first_object; o != nullptr;) {
        objects.push_back(o);
        o = o->memory_suc == first_object ? nullptr : o->memory_suc;
    }
    return objects;
}

using ObjectsTest = KernelTest;

TEST_F(ObjectsTest, WrongStampIsWrongValueForEveryKindNeverDefective) {
    auto* link = sim_new<SimLink>();
    inic_link(link);
    auto* process = sim_new<SimProcess>();
    inic_process(process, idle_body);
    SimObject* saved_link = link->self;
    SimObject* saved_process = process->self;
    link->self = nullptr;
    process->self = link;
    link->suc = link; // also defective in its list fields: the stamp is judged first
    EXPECT_EQ(check_dyn_mem(link), CHECK_WRONG_VALUE);
    EXPECT_EQ(check_link(link), CHECK_WRONG_VALUE);
    EXPECT_EQ(check_process(process), CHECK_WRONG_VALUE);

    out(link);
    EXPECT_EQ(last_error(), 17);
    reactivate_at(process, 1.0);
    EXPECT_EQ(last_error(), 106);
    EXPECT_EQ(state(process), TERMINATED);
    EXPECT_EQ(last_error(), 75);
    dispose_process(process);
    EXPECT_EQ(last_error(), 57);

    link->suc = nullptr;
    link->self = saved_link;
    process->self = saved_process;
}

TEST_F(ObjectsTest, MixedLinkFieldsAreDefective) {
    auto* link = sim_new<SimLink>();
    inic_link(link);
    EXPECT_EQ(check_link(link), CHECK_NOT_IN_LIST);
    link->pred = link;
    EXPECT_EQ(check_link(link), CHECK_DEFECTIVE);
    out(link);
    EXPECT_EQ(last_error(), 16);
    link->pred = nullptr;

    auto* process = sim_new<SimProcess>();
    inic_process(process, idle_body);
    process->suc_in_sqs = process;
    EXPECT_EQ(check_process(process), CHECK_DEFECTIVE);
    cancel(process);
    EXPECT_EQ(last_error(), 85);
    process->suc_in_sqs = nullptr;

    SimObject loose{};
    loose.self = &loose;
    loose.memory_suc = &loose;
    EXPECT_EQ(check_dyn_mem(&loose), CHECK_DEFECTIVE);
    EXPECT_EQ(check_dyn_mem(nullptr), CHECK_NULL);
    EXPECT_EQ(check_process(nullptr), CHECK_NULL);
}

TEST_F(ObjectsTest, TerminatedIsReportedAfterStampAndLinkChecks) {
    auto* process = sim_new<SimProcess>();
    inic_process(process, idle_body);
    process->state = TERMINATED;
    EXPECT_EQ(check_process(process), CHECK_TERMINATED);
    EXPECT_EQ(state(process), TERMINATED);
    EXPECT_EQ(last_error(), -1);
    process->suc = process; // defective link fields win over TERMINATED
    EXPECT_EQ(check_process(process), CHECK_DEFECTIVE);
    process->suc = nullptr;
    process->state = PASSIVE;
}

TEST_F(ObjectsTest, MemoryListKeepsCreationOrderAndOutOfListIsNoChange) {
    auto* a = sim_new<SimObject>();
    auto* b = sim_new<SimLink>();
    auto* c = sim_new<SimProcess>();
    inic_dyn_mem(a);
    inic_link(b);
    inic_process(c, idle_body);
    EXPECT_EQ(memory_list(), (std::vector<SimObject*>{a, b, c}));
    EXPECT_EQ(memory_count(), 3u);

    mem_out(b);
    EXPECT_EQ(memory_list(), (std::vector<SimObject*>{a, c}));
    mem_out(b); // not in the memory list: nothing changes, nothing is reported
    EXPECT_EQ(last_error(), -1);
    EXPECT_EQ(memory_count(), 2u);
    mem_in(b);
    EXPECT_EQ(memory_list(), (std::vector<SimObject*>{a, c, b}));
    EXPECT_EQ(calendar()->memory_head, nullptr); // the Calendar is not in the memory list
}

TEST_F(ObjectsTest, ListsKeepOrderAndOutOfNoListChangesNothing) {
    auto* head = sim_new<SimHead>();
    inic_head(head);
    SimLink* links[3];
    for (SimLink*& link : links) {
        link = sim_new<SimLink>();
        inic_link(link);
        into(link, head);
    }
    EXPECT_EQ(cardinal(head), 3u);
    EXPECT_EQ(first(head), links[0]);
    EXPECT_EQ(last(head), links[2]);
    EXPECT_EQ(links[2]->suc, links[0]);
    into(links[1], head);
    EXPECT_EQ(last_error(), 24);

    out(links[1]);
    EXPECT_EQ(links[0]->suc, links[2]);
    EXPECT_EQ(cardinal(head), 2u);
    out(links[1]); // in no list: unchanged, no error
    EXPECT_EQ(last_error(), -1);

    clear(head);
    EXPECT_TRUE(empty(head));
    EXPECT_EQ(links[0]->head, nullptr);
    EXPECT_EQ(links[2]->suc, nullptr);
    into(links[0], head);
    dispose_head(head); // members leave the list before the head is freed
    EXPECT_EQ(links[0]->head, nullptr);
    EXPECT_EQ(check_link(links[0]), CHECK_NOT_IN_LIST);
    dispose_link(links[0]);
    EXPECT_EQ(memory_count(), 2u);
}

TEST_F(ObjectsTest, DisposeProcessRefusesAnyStateButTerminated) {
    int destroyed = 0;
    Counted* p = make_counted(&destroyed);
    dispose_process(p);
    EXPECT_EQ(last_error(), 58);
    EXPECT_EQ(destroyed, 0);
    EXPECT_EQ(memory_count(), 1u);
    dispose_process(nullptr);
    EXPECT_EQ(last_error(), 55);
    p->state = TERMINATED; // now it may go (and its destructor runs while `destroyed` still exists)
    dispose_process(p);
    EXPECT_EQ(last_error(), -1);
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(memory_count(), 0u);
}

TEST_F(ObjectsTest, DisposeAllFreesProcessesInEveryStateAndCallsDestructors) {
    int destroyed = 0;
    Counted* new_passive = make_counted(&destroyed);
    Counted* new_planned = make_counted(&destroyed);
    Counted* planned = make_counted(&destroyed);
    Counted* passive = make_counted(&destroyed);
    reactivate_at(new_planned, 5.0);
    reactivate_at(planned, 0.0);
    reactivate_at(passive, 0.0);
    ASSERT_TRUE(next_event()); // planned runs and passivates
    ASSERT_TRUE(next_event()); // passive runs and passivates
    reactivate_at(planned, 3.0);
    EXPECT_EQ(state(new_passive), NEW_PASSIVE);
    EXPECT_EQ(state(new_planned), NEW_PLANNED);
    EXPECT_EQ(state(planned), PLANNED);
    EXPECT_EQ(state(passive), PASSIVE);
    auto* stream_object = sim_new<SimObject>();
    inic_dyn_mem(stream_object);

    inic_kernel(); // a second initialisation disposes of everything of the first
    EXPECT_EQ(destroyed, 4);
    EXPECT_EQ(memory_count(), 0u);
    EXPECT_EQ(sqs_count(), 0u);
    EXPECT_EQ(calendar()->suc_in_sqs, nullptr);
    EXPECT_EQ(sim_time(), 0.0);
}

TEST_F(ObjectsTest, DisposeAllOfAnEmptyKernelFreesOnlyHeapAndCalendar) {
    dispose_all();
    EXPECT_EQ(heap(), nullptr);
    EXPECT_EQ(calendar(), nullptr);
    inic_kernel(); // the fixture's tear-down disposes again
}

TEST_F(ObjectsTest, ErrorOutsideABodyReturnsAndKeepsTheFlagUntilRead) {
    reactivate_at(nullptr, 1.0);
    EXPECT_TRUE(error_flag());
    SimErrorRecord record{};
    EXPECT_TRUE(get_error(&record));
    EXPECT_EQ(record.code, 104);
    EXPECT_FALSE(error_flag());
    EXPECT_FALSE(get_error(&record));
}

TEST(ErrorTable, EveryMessageNamesItsOperationAndEndsWithOneBlank) {
    for (unsigned code = 0; code < SIM_ERROR_COUNT; ++code) {
        std::string text = sim_error_message(static_cast<uint8_t>(code));
        ASSERT_GE(text.size(), 2u) << code;
        EXPECT_EQ(text.back(), ' ') << code;
        EXPECT_NE(text[text.size() - 2], ' ') << code;
        EXPECT_EQ(text.rfind("Error ", 0), 0u) << code;
    }
    EXPECT_STREQ(sim_error_message(0), "Error in first(): input pointer has NULL value ");
    EXPECT_STREQ(sim_error_message(24), "Error in into(): input object is already in a list ");
    EXPECT_STREQ(sim_error_message(40), "Error in precede(): input object p_where is not in a list ");
    EXPECT_STREQ(sim_error_message(41), "Error in hold(): wrong value of parameter 'del_t' ");
    EXPECT_STREQ(sim_error_message(45),
                 "Error in inic_process(): input pointer to the program has NULL value ");
    EXPECT_STREQ(sim_error_message(58), "Error in dispose_process(): pointed process is not terminated ");
    EXPECT_STREQ(sim_error_message(72), "Error in sqs_out(): calendar is empty ");
    EXPECT_STREQ(sim_error_message(89), "Error in cancel(): pointed process is terminated ");
    EXPECT_STREQ(sim_error_message(100), "Error in activate_delay(): wrong value of parameter 'del_t' ");
    EXPECT_STREQ(sim_error_message(107), "Error in reactivate_at(): wrong value of parameter 't' ");
    EXPECT_STREQ(sim_error_message(114), "Error in reactivate_delay(): pointed process must not be ACTIVE ");
    EXPECT_STREQ(sim_error_message(116), "Error in head_statistics_on(): pointed object is defective ");
    EXPECT_STREQ(sim_error_message(122), "Error in inic_head_statistics():pointed object is defective ");
    EXPECT_STREQ(sim_error_message(124), "Error in inc_head_statistics(): input pointer has NULL value ");
    EXPECT_STREQ(sim_error_message(125), "Error head_statistics_status(): pointed object is defective ");
    EXPECT_STREQ(sim_error_message(130), "Error in head_statistics(): input pointer has NULL value ");
    EXPECT_STREQ(sim_error_message(131), "");
}

} // namespace
