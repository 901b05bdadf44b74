#include "kernel/sim_object.h"

#include "kernel/kernel_state.h"
#include "kernel/sim_assert.h"
#include "kernel/trace.h"

#include <cstdio>
#include <cstdlib>
#include <new>

KernelState kernel;

namespace {

/// The codes an operation reports for a failed check, in the order null, defective, wrong value.
struct CheckCodes {
    uint8_t null_ref;
    uint8_t defective;
    uint8_t wrong_value;
};

/// Reports a failed check with the operation's codes; returns true when the object is valid.
bool passes(int result, CheckCodes codes, const void* object) {
    switch (result) {
    case CHECK_IN_LIST:
    case CHECK_NOT_IN_LIST:
        return true;
    case CHECK_NULL:
        sim_error(codes.null_ref, kernel.current, nullptr);
        return false;
    case CHECK_WRONG_VALUE:
        sim_error(codes.wrong_value, kernel.current, nullptr);
        return false;
    default:
        sim_error(codes.defective, kernel.current, object);
        return false;
    }
}

/// Statistics of a head at a change of its length: the length integral over the time since the last change.
void account_length(SimHead* head) {
    double span = kernel.time - head->time_of_last_change;
    head->length_integral += head->lq * span;
    head->observed_time += span;
}

/// Takes a link out of its head's list without checks.
void unlink_member(SimLink* link) {
    SimHead* head = link->head;
    if (statistics_on(head->statistics)) {
        account_length(head);
        head->total_waiting_time += kernel.time - link->entry_time;
        head->departures += 1;
    }
    if (head->lq == 1) {
        head->p_first = head->p_last = nullptr;
    } else {
        link->pred->suc = link->suc;
        link->suc->pred = link->pred;
        if (head->p_first == link) {
            head->p_first = link->suc;
        }
        if (head->p_last == link) {
            head->p_last = link->pred;
        }
    }
    head->time_of_last_change = kernel.time;
    head->lq -= 1;
    link->suc = link->pred = nullptr;
    link->head = nullptr;
}

/// Unlinks an object from the memory list without checks; nothing when it is not in it.
void memory_unlink(SimObject* object) {
    if (object->memory_head == nullptr) {
        return;
    }
    SimObject* heap = kernel.heap;
    if (object->memory_suc == object) {
        heap->memory_suc = heap->memory_pred = nullptr;
    } else {
        object->memory_pred->memory_suc = object->memory_suc;
        object->memory_suc->memory_pred = object->memory_pred;
        if (heap->memory_suc == object) {
            heap->memory_suc = object->memory_suc;
        }
        if (heap->memory_pred == object) {
            heap->memory_pred = object->memory_pred;
        }
    }
    object->memory_head = object->memory_suc = object->memory_pred = nullptr;
    kernel.memory_count -= 1;
}

/// Runs the destructor and frees the record the way its creator allocated it.
void destroy(SimObject* object) {
    if (object->destructor != nullptr) {
        object->destructor(object);
    }
    object->self = nullptr; // a stale reference now reads as a wrong value, never as a valid object
    if (object->ops != nullptr) {
        object->ops->release(object);
    }
}

void make_kernel_objects() {
    kernel.heap = new (std::nothrow) SimObject{};
    kernel.calendar = new (std::nothrow) SimProcess{};
    if (kernel.heap == nullptr || kernel.calendar == nullptr) {
        std::fputs("Not enough memory\n", stderr);
        std::exit(1);
    }
    kernel.heap->name = "Heap";
    kernel.heap->type = KIND_DYN_MEM;
    kernel.heap->self = kernel.heap;
    kernel.calendar->name = "Calendar";
    kernel.calendar->type = KIND_PROCESS;
    kernel.calendar->self = kernel.calendar;
    kernel.calendar->state = TERMINATED;
}

} // namespace

// --- Validity checks -------------------------------------------------------------------------------------

int check_dyn_mem(const SimObject* object) {
    if (object == nullptr) {
        return CHECK_NULL;
    }
    if (object->self != object) {
        return CHECK_WRONG_VALUE;
    }
    int set =
        (object->memory_head != nullptr) + (object->memory_suc != nullptr) + (object->memory_pred != nullptr);
    return set == 3 ? CHECK_IN_LIST : set == 0 ? CHECK_NOT_IN_LIST : CHECK_DEFECTIVE;
}

int check_link(const SimLink* link) {
    int result = check_dyn_mem(link);
    if (result != CHECK_IN_LIST && result != CHECK_NOT_IN_LIST) {
        return result;
    }
    int set = (link->suc != nullptr) + (link->pred != nullptr) + (link->head != nullptr);
    return set == 3 ? CHECK_IN_LIST : set == 0 ? CHECK_NOT_IN_LIST : CHECK_DEFECTIVE;
}

int check_head(const SimHead* head) {
    int result = check_link(head);
    if (result != CHECK_IN_LIST && result != CHECK_NOT_IN_LIST) {
        return result;
    }
    int set = (head->p_first != nullptr) + (head->p_last != nullptr);
    return set == 0 ? CHECK_IN_LIST : set == 2 ? CHECK_NOT_IN_LIST : CHECK_DEFECTIVE;
}

int check_process(const SimProcess* process) {
    int result = check_link(process);
    if (result != CHECK_IN_LIST && result != CHECK_NOT_IN_LIST) {
        return result;
    }
    if (process->state == TERMINATED) {
        return CHECK_TERMINATED;
    }
    int set = (process->suc_in_sqs != nullptr) + (process->pred_in_sqs != nullptr);
    return set == 2 ? CHECK_IN_LIST : set == 0 ? CHECK_NOT_IN_LIST : CHECK_DEFECTIVE;
}

static bool is_valid(int result) {
    return result == CHECK_IN_LIST || result == CHECK_NOT_IN_LIST;
}
bool valid_dyn_mem(const SimObject* object) {
    return is_valid(check_dyn_mem(object));
}
bool valid_link(const SimLink* link) {
    return is_valid(check_link(link));
}
bool valid_head(const SimHead* head) {
    return is_valid(check_head(head));
}
bool valid_process(const SimProcess* process) {
    return is_valid(check_process(process));
}

// --- Initialisation and the memory list ------------------------------------------------------------------

SimObject* inic_dyn_mem(SimObject* object) {
    if (object == nullptr) {
        return nullptr;
    }
    object->name = nullptr;
    object->type = KIND_DYN_MEM;
    object->self = object;
    object->memory_head = object->memory_suc = object->memory_pred = nullptr;
    object->destructor = nullptr;
    object->feed_state = nullptr;
    object->view = view_dyn_mem;
    mem_in(object);
    return object;
}

SimLink* inic_link(SimLink* link) {
    if (inic_dyn_mem(link) == nullptr) {
        return nullptr;
    }
    link->type = KIND_LINK;
    link->suc = link->pred = nullptr;
    link->head = nullptr;
    link->entry_time = 0.0;
    link->view = view_link;
    return link;
}

SimHead* inic_head(SimHead* head) {
    if (inic_link(head) == nullptr) {
        return nullptr;
    }
    head->type = KIND_HEAD;
    head->p_first = head->p_last = nullptr;
    head->lq = 0;
    head->departures = 0;
    head->time_of_last_change = kernel.time;
    head->total_waiting_time = head->length_integral = head->observed_time = 0.0;
    head->statistics = 0;
    head->view = view_head;
    return head;
}

void mem_in(SimObject* object) {
    if (!passes(check_dyn_mem(object), {62, 63, 64}, object)) {
        return;
    }
    sim_assert(kernel.heap != nullptr, "kernel initialised (inic_kernel)", "kernel\\sim_object");
    if (object->memory_head != nullptr) {
        return; // already a member
    }
    SimObject* heap = kernel.heap;
    if (heap->memory_suc == nullptr) {
        object->memory_suc = object->memory_pred = object;
        heap->memory_suc = heap->memory_pred = object;
    } else {
        SimObject* first_object = heap->memory_suc;
        SimObject* last_object = heap->memory_pred;
        object->memory_suc = first_object;
        object->memory_pred = last_object;
        last_object->memory_suc = object;
        first_object->memory_pred = object;
        heap->memory_pred = object;
    }
    object->memory_head = heap;
    kernel.memory_count += 1;
}

void mem_out(SimObject* object) {
    if (!passes(check_dyn_mem(object), {59, 60, 61}, object)) {
        return;
    }
    memory_unlink(object);
}

// --- Lists -----------------------------------------------------------------------------------------------

void into(SimLink* link, SimHead* head) {
    int link_result = check_link(link);
    if (!passes(link_result, {18, 19, 20}, link) || !passes(check_head(head), {21, 22, 23}, head)) {
        return;
    }
    if (link_result == CHECK_IN_LIST) {
        sim_error(24, kernel.current, link);
        return;
    }
    if (statistics_on(head->statistics)) {
        account_length(head);
    }
    if (head->p_first == nullptr) {
        link->suc = link->pred = link;
        head->p_first = head->p_last = link;
    } else {
        link->suc = head->p_first;
        link->pred = head->p_last;
        head->p_last->suc = link;
        head->p_first->pred = link;
        head->p_last = link;
    }
    link->head = head;
    link->entry_time = kernel.time;
    head->time_of_last_change = kernel.time;
    head->lq += 1;
}

void out(SimLink* link) {
    int result = check_link(link);
    if (!passes(result, {15, 16, 17}, link)) {
        return;
    }
    if (result == CHECK_IN_LIST) {
        unlink_member(link);
    }
}

void clear(SimHead* head) {
    if (!passes(check_head(head), {12, 13, 14}, head)) {
        return;
    }
    bool statistics = statistics_on(head->statistics);
    if (statistics) {
        account_length(head);
    }
    SimLink* member = head->p_first;
    for (uint32_t i = 0; member != nullptr && i < head->lq; ++i) {
        SimLink* next = member->suc;
        if (statistics) {
            head->total_waiting_time += kernel.time - member->entry_time;
            head->departures += 1;
        }
        member->suc = member->pred = nullptr;
        member->head = nullptr;
        member = next;
    }
    head->p_first = head->p_last = nullptr;
    head->time_of_last_change = kernel.time;
    head->lq = 0;
}

SimLink* first(const SimHead* head) {
    return passes(check_head(head), {0, 1, 2}, head) ? head->p_first : nullptr;
}

SimLink* last(const SimHead* head) {
    return passes(check_head(head), {3, 4, 5}, head) ? head->p_last : nullptr;
}

bool empty(const SimHead* head) {
    return passes(check_head(head), {6, 7, 8}, head) ? head->lq == 0 : true;
}

uint32_t cardinal(const SimHead* head) {
    return passes(check_head(head), {9, 10, 11}, head) ? head->lq : 0;
}

// --- Disposal --------------------------------------------------------------------------------------------

void dispose_dyn_mem(SimObject* object) {
    if (!passes(check_dyn_mem(object), {46, 47, 48}, object)) {
        return;
    }
    memory_unlink(object);
    destroy(object);
}

void dispose_link(SimLink* link) {
    int result = check_link(link);
    if (!passes(result, {49, 50, 51}, link)) {
        return;
    }
    if (result == CHECK_IN_LIST) {
        unlink_member(link);
    }
    memory_unlink(link);
    destroy(link);
}

void dispose_head(SimHead* head) {
    if (!passes(check_head(head), {52, 53, 54}, head)) {
        return;
    }
    if (head->head != nullptr) {
        unlink_member(head);
    }
    clear(head);
    memory_unlink(head);
    destroy(head);
}

void dispose_all() {
    SimObject* heap = kernel.heap;
    while (heap != nullptr && heap->memory_suc != nullptr) {
        SimObject* object = heap->memory_suc;
        memory_unlink(object);
        switch (object->type) {
        case KIND_HEAD:
            dispose_head(static_cast<SimHead*>(object));
            break;
        case KIND_LINK:
            dispose_link(static_cast<SimLink*>(object));
            break;
        case KIND_PROCESS: {
            auto* process = static_cast<SimProcess*>(object);
            process->state = TERMINATED;
            dispose_process(process);
            break;
        }
        default:
            dispose_dyn_mem(object);
            break;
        }
    }
    delete kernel.heap;
    delete kernel.calendar;
    kernel.heap = nullptr;
    kernel.calendar = nullptr;
    kernel.memory_count = 0;
    kernel.sqs_count = 0;
    for (SimProcess*& level_first : kernel.sqs_skip) {
        level_first = nullptr;
    }
}

// --- Kernel state ----------------------------------------------------------------------------------------

void inic_kernel() {
    kernel.error_flag = false;
    kernel.error = {};
    kernel.body_running = false;
    if (kernel.heap != nullptr) {
        dispose_all();
    }
    make_kernel_objects();
    kernel.memory_count = 0;
    kernel.time = 0.0;
    kernel.current = nullptr;
    kernel.sqs_count = 0;
    kernel.sqs_sequence = 0;
    kernel.sqs_top_level = 1;
    kernel.level_seed = 0x9E3779B9u;
    kernel.steps = 0;
    for (SimProcess*& level_first : kernel.sqs_skip) {
        level_first = nullptr;
    }
}

SimObject* heap() {
    return kernel.heap;
}
uint32_t memory_count() {
    return kernel.memory_count;
}
bool global_statistics() {
    return kernel.statistics;
}

// --- The error path --------------------------------------------------------------------------------------

void sim_error(uint8_t code, SimProcess* current, const void* object) {
    kernel.error = {code, current, object};
    kernel.error_flag = true;
    if (kernel.body_running) {
        throw KernelError{code};
    }
}

bool get_error(SimErrorRecord* record) {
    if (record != nullptr) {
        *record = kernel.error;
    }
    bool was_set = kernel.error_flag;
    kernel.error_flag = false;
    return was_set;
}

bool error_flag() {
    return kernel.error_flag;
}
