// Kernel objects, lists, the memory list and the error path of the simulation kernel.
//
// Every thing that lives in a simulation run (controllers, channels, bus guardians, hosts, the laser, the
// fault injector, random streams) is a kernel object. Records extend one another:
//
//     SimObject (DYN_MEM, 'M')  the header: name, kind tag, validity stamp, memory-list links, destructor,
//     view
//       SimLink (LINK, 'L')     + membership in one circular, doubly linked list headed by a SimHead
//         SimHead (HEAD, 'H')   + the list it heads, with optional statistics
//         SimProcess ('P')      + scheduling fields (sim_process.h)
//
// Ownership. A creator allocates its record with sim_new<T>() (which records its size and how to free it),
// passes it to the kind's initialisation (inic_dyn_mem, inic_link, inic_head, inic_process), sets the name
// and, if it owns resources, a destructor, and a state function when its model state is more or less than
// its own bytes (sim_state.h). From then on the kernel owns the record: it is freed by the kind's dispose
// operation or by dispose_all, which call the destructor and then free the record. Every initialised object
// is in the kernel's memory list (the object named "Heap"), in creation order.
//
// Validity. Every operation first classifies each object argument with the check of the kind it expects
// (check_dyn_mem, check_link, check_head, check_process). The results (CheckResult) are:
//     0 valid, in its list          1 valid, in no list (for a head: list not empty)
//     2 defective (fields mixed)    3 wrong value (self stamp is not the object's own address)
//     4 null reference              5 (processes only) TERMINATED
// A failed check is reported through sim_error with the operation's own code for null (4), defective (2),
// wrong value (3) and terminated (5); an operation that reports an error has changed nothing.
//
// The error path. sim_error(code, current, object) records the error and sets the error flag. Inside a
// running process body it ends the scheduler step at once (it throws KernelError, which next_event catches),
// so the process resumes at its last wait point when it is next selected. Outside a body it returns and the
// failing operation returns to its caller without further effect. get_error() copies and clears the error.
// Model code must never catch KernelError.
//
// Global kernel state lives in one place and is reset by inic_kernel at every build of the model.
#pragma once

#include <cstdint>
#include <cstdio>
#include <type_traits>

struct SimObject;
struct SimLink;
struct SimHead;
struct SimProcess;
struct StateSink;

/// Kind tags of kernel objects.
enum SimKind : char {
    KIND_DYN_MEM = 'M',
    KIND_LINK = 'L',
    KIND_HEAD = 'H',
    KIND_PROCESS = 'P',
};

/// Results of the validity checks.
enum CheckResult : int {
    CHECK_IN_LIST = 0,     // valid; in the memory list / in a list / (head) list empty / (process) planned
    CHECK_NOT_IN_LIST = 1, // valid; in no list / (head) list not empty / (process) not planned
    CHECK_DEFECTIVE = 2,
    CHECK_WRONG_VALUE = 3,
    CHECK_NULL = 4,
    CHECK_TERMINATED = 5,
};

using SimDestructor = void (*)(SimObject*);
using SimView = void (*)(const SimObject*, std::FILE*);
/// Feeds the object's part of the model state to a sink (sim_state.h).
using SimStateFunction = void (*)(const SimObject*, StateSink*);

/// How a record is freed and copied: one table per record type, made by sim_new (and by
/// create_owned_process for a process with a record of its own). A checkpoint (sim_checkpoint.h) keeps copies
/// of the model's records with it and puts them back; the copy operations are null for a record type that
/// cannot be copied, and a model holding one cannot be kept.
struct SimRecordOps {
    void (*release)(SimObject* object);                    // frees the record (the kernel's disposal)
    void* (*keep)(const SimObject* object);                // a copy of the record and of what it owns
    void (*put_back)(SimObject* object, const void* kept); // the record (and what it owns) as kept
    void (*drop)(void* kept);                              // frees a copy
    /// Frees the record and what it owns without running the model's destructor: an object made after
    /// the checkpoint that is put back, whose neighbours no longer know it.
    void (*forget)(SimObject* object);
};

/// Header of every kernel object (kind DYN_MEM).
struct SimObject {
    const char* name;       // owned by the creator; null prints as "UNDEFINED"
    char type;              // kind tag (SimKind)
    uint32_t size;          // bytes of the whole record (set by sim_new); 0: only the kernel's part is known
    SimObject* self;        // validity stamp: equals the object's own address
    SimObject* memory_head; // the Heap while the object is in the memory list, else null
    SimObject* memory_suc;  // neighbours in the memory list (circular)
    SimObject* memory_pred;
    SimDestructor destructor; // called by disposal just before the record is freed; may be null
    SimView view;             // prints the object (trace.h); initialisation sets the kind's standard view
    const SimRecordOps*
        ops; // frees and copies the record (set by sim_new); null: the kernel does not free it
    SimStateFunction feed_state; // its model state when that is not its bytes (sim_state.h); may be null
};

/// A member of a list (kind LINK).
struct SimLink : SimObject {
    SimLink* suc; // neighbours in the list (circular); null when in no list
    SimLink* pred;
    SimHead* head;     // the head whose list holds the link; null when in no list
    double entry_time; // simulated time at which the link entered its list
};

/// A list head (kind HEAD); a head is itself a link and may be a member of another list.
/// Invariants: p_first and p_last are both null or both set; lq counts the members; the members form a
/// circle (p_last->suc == p_first, p_first->pred == p_last).
struct SimHead : SimLink {
    SimLink* p_first;
    SimLink* p_last;
    uint32_t lq;         // number of members
    uint32_t departures; // members that left while statistics were on
    double time_of_last_change;
    double total_waiting_time; // sum of the members' times in the list
    double length_integral;    // sum of lq times the time it held that value
    double observed_time;      // time over which the length integral was taken
    uint8_t statistics;        // 1: statistics are gathered for this head
};

/// The operations of a record of type T (SimRecordOps): delete frees it, copies are made by T's copy
/// constructor and put back by its assignment.
template <class T>
struct SimRecordOpsOf {
    static void release(SimObject* o) { delete static_cast<T*>(o); }
    static void* keep(const SimObject* o) { return new T(*static_cast<const T*>(o)); }
    static void put_back(SimObject* o, const void* kept) {
        *static_cast<T*>(o) = *static_cast<const T*>(kept);
    }
    static void drop(void* kept) { delete static_cast<T*>(kept); }
    static constexpr SimRecordOps table() {
        if constexpr (std::is_copy_constructible_v<T> && std::is_copy_assignable_v<T>) {
            return {release, keep, put_back, drop, release};
        } else {
            return {release, nullptr, nullptr, nullptr, release};
        }
    }
    static constexpr SimRecordOps TABLE = table();
};

/// Allocates a zeroed record of type T that the kernel will free with delete once it is disposed of, and
/// records its size (the state comparison of sim_state.h reads the whole record).
template <class T>
T* sim_new() {
    T* record = new T{};
    record->ops = &SimRecordOpsOf<T>::TABLE;
    record->size = sizeof(T);
    return record;
}

// --- Validity checks -------------------------------------------------------------------------------------

int check_dyn_mem(const SimObject* object);
int check_link(const SimLink* link);
int check_head(const SimHead* head);
int check_process(const SimProcess* process);
bool valid_dyn_mem(const SimObject* object);
bool valid_link(const SimLink* link);
bool valid_head(const SimHead* head);
bool valid_process(const SimProcess* process);

// --- Initialisation and the memory list ------------------------------------------------------------------

/// Name null, tag 'M', stamp set, memory links null, destructor and feed_state null, standard view;
/// then mem_in.
/// A null record is returned as null.
SimObject* inic_dyn_mem(SimObject* object);
/// inic_dyn_mem, then tag 'L', list fields null, entry time 0, the LINK view.
SimLink* inic_link(SimLink* link);
/// inic_link, then tag 'H', an empty list, statistics off, the HEAD view.
SimHead* inic_head(SimHead* head);

void mem_in(SimObject* object);  // codes 62-64
void mem_out(SimObject* object); // codes 59-61; an object not in the memory list is left unchanged

// --- Lists -----------------------------------------------------------------------------------------------

/// Appends a link in no list at the end of a head's list (codes 18-24).
void into(SimLink* link, SimHead* head);
/// Takes a link out of its list, keeping statistics when on (codes 15-17); a link in no list is unchanged.
void out(SimLink* link);
/// Removes every member of a head's list (codes 12-14).
void clear(SimHead* head);
SimLink* first(const SimHead* head);    // codes 0-2
SimLink* last(const SimHead* head);     // codes 3-5
bool empty(const SimHead* head);        // codes 6-8
uint32_t cardinal(const SimHead* head); // codes 9-11

// --- Disposal --------------------------------------------------------------------------------------------

void dispose_dyn_mem(SimObject* object); // mem_out, destructor, free (codes 46-48)
void dispose_link(SimLink* link);        // out, mem_out, destructor, free (codes 49-51)
void dispose_head(SimHead* head);        // out, clear, mem_out, destructor, free (codes 52-54)
/// Disposes of every object in the memory list by its kind (processes are first set TERMINATED), then
/// frees the Heap and the Calendar. Everything created since inic_kernel is gone afterwards.
void dispose_all();

// --- Kernel state ----------------------------------------------------------------------------------------

/// Starts a fresh kernel: clears the error and body-running flags, disposes of the previous run's objects,
/// creates the Heap and the Calendar, sets the simulated time to 0 and the current process to none.
void inic_kernel();
/// The memory list's head object ("Heap"); null before inic_kernel.
SimObject* heap();
/// Number of objects in the memory list (for leak checks in tests and the headless runner).
uint32_t memory_count();
bool global_statistics();

// --- The error path --------------------------------------------------------------------------------------

/// Kernel error codes index a fixed table of 131 messages.
constexpr unsigned SIM_ERROR_COUNT = 131;

/// What get_error hands out.
struct SimErrorRecord {
    uint8_t code;
    SimProcess* current; // the current process at the time of the error (null for code 72)
    const void* object;  // the offending object, where the operation passes it
};

/// Thrown by sim_error inside a running process body; caught only by next_event.
struct KernelError {
    uint8_t code;
};

void sim_error(uint8_t code, SimProcess* current, const void* object);
/// Copies the last error into *record (if not null) and clears the error flag. Returns the former flag.
bool get_error(SimErrorRecord* record);
bool error_flag();
/// The message text of a code ("Error in hold(): wrong value of parameter 'del_t' "); codes above 130
/// give an empty text.
const char* sim_error_message(uint8_t code);
