// The model's state as bytes, and a digest of it: how a campaign tells that an experiment has come back to
// exactly the golden run's state at the same simulated time (it has converged), so that it can stop there and
// take the rest of its outcome from the golden run.
//
// What the state is: everything that decides what the model does from now on, fed to a sink as a sequence of
// byte ranges by model_state:
//   1. the kernel globals that do: the simulated time, the current process, the error, body-running and
//      statistics flags, the sequencing set's first and last member, its size and its search index (levels,
//      heads, the level generator), and the length of the memory list;
//   2. every kernel object in the memory list, in creation order: its whole record (the size sim_new
//      recorded; the kernel's part of its kind for a record allocated otherwise), or what its state function
//      feeds instead: for a process that owns a record (controller, channel, bus guardian) the process and
//      that record, for a record with vectors their buffers too, less the fields the record names as left
//      out (see below);
//   3. what the caller adds for model records that are not kernel objects (host/cluster.h: the cluster record
//      with the applications).
// Every process record holds its place in the sequencing set (neighbours, state, event time) and the point
// where its body resumes, so who is planned when, and where each body goes on, is part of 2. So are the
// random streams (their words and index) and the hosts' task tables and counters.
//
// Left out, each because nothing that follows reads it:
//   - the kernel's step count: read only when an injection is recorded, and no comparison is made before the
//     last injection of an experiment;
//   - the insertion numbers of the sequencing set (the kernel's counter and each process's number): they
//   order
//     processes of equal event time only relative to one another, which is the order of the set's links
//     (compared), and a later insertion gets a larger number than every member in either run;
//   - the kernel's record of the last error (its flag is compared): only get_error reads it, right after the
//     failed step that wrote it;
//   - the trace's sink and fingerprint, which the model writes and never reads;
//   - reports that records name in their state functions: counters the model increments and never reads (the
//     fault injector's injections, the bus guardians' failure counts, the channels' bit flips, the hosts'
//     controller starts, the applications' monitor counters);
//   - constant data that records name: a controller's message descriptor list, copied in at assembly and
//     never written afterwards (every reader takes it const, and no fault target reaches it), and the fault
//     injector's counts of mask bits, a function of its mask (a constant table) and length, which are
//     compared.
// Pointers compare as values: a checkpoint is a copy of the golden process (fork), in which every object has
// the address it has in the golden run. Padding bytes compare as they are; a difference there can only make
// two equal states look different, which delays an early stop and never makes a false one.
//
// The digest (StateHash). The ranges are encoded without ambiguity, each as its length (8 bytes) followed by
// its bytes, and the encoding is cut into 7-byte coefficients c_0 .. c_{L-1} (the last padded with zeros),
// each below 2^56. The digest holds L and, for two keys k_1 and k_2, the polynomial
//     H_k = c_0 k^(L-1) + c_1 k^(L-2) + ... + c_{L-1}   mod p,   p = 2^61 - 1 (a prime).
// Two different states with the same L give different coefficient sequences, whose difference is a
// polynomial of degree at most L-1 that is not zero: it has at most L-1 roots in GF(p). So for a key drawn
// uniformly at random independently of the states, two different states collide with probability at most
// (L-1)/p; with two independent keys at most ((L-1)/p)^2. The keys are two constants drawn at random once and
// fixed in sim_state.cpp; nothing in the model depends on them, so no state the model reaches is chosen
// against them. States of different lengths never compare equal. The cluster's state is about 111 KB
// (L = 16,010), so one comparison errs with probability below (16010 / 2.3e18)^2 < 5e-29, and a campaign
// of 10^9 comparisons with probability below 5e-20.
//
// The digest is linear in the coefficients, so the digest of the same state with one 32-bit word replaced
// follows from the digest and the word's place in the encoding (state_digest_replaced): a campaign uses it to
// tell a state that differs from the golden one only in the word it injected into. The replaced digest is the
// digest of that other state, so the bound above holds for its comparisons too.
#pragma once

#include "kernel/sim_object.h"

#include <cstddef>
#include <cstdint>
#include <initializer_list>

/// Where state bytes go: a digest, or a copy (tests).
struct StateSink {
    void (*take)(StateSink* sink, const void* bytes, size_t size);
};

inline void state_feed(StateSink* sink, const void* bytes, size_t size) {
    sink->take(sink, bytes, size);
}

/// A field of a record that its state leaves out: its byte offset in the record and its size.
struct StateGap {
    size_t offset;
    size_t size;
};

template <class Record, class Field>
StateGap state_gap(const Record* record, const Field* field) {
    return {static_cast<size_t>(reinterpret_cast<const char*>(field) - reinterpret_cast<const char*>(record)),
            sizeof(Field)};
}

/// Feeds bytes [0, size) of a record in pieces around the gaps (given in any order, not overlapping).
void state_feed_record(StateSink* sink, const void* record, size_t size,
                       std::initializer_list<StateGap> gaps);
/// A kernel object's own record (its recorded size, or the kernel's part of its kind), less `gaps` and, for a
/// process, its insertion number in the sequencing set.
void state_feed_object(StateSink* sink, const SimObject* object, std::initializer_list<StateGap> gaps = {});
/// The whole model state: the kernel globals, then every object of the memory list by its state function
/// (state_feed_object when it has none).
void model_state(StateSink* sink);

/// Default state of a record owned by a process (create_owned_process): all its bytes.
template <class Record>
void whole_record_state(const Record& record, StateSink* sink) {
    state_feed(sink, &record, sizeof record);
}

// --- Digests ---------------------------------------------------------------------------------------------

struct StateDigest {
    uint64_t length;   // coefficients L
    uint64_t value[2]; // H_k1, H_k2
    bool operator==(const StateDigest&) const = default;
};

constexpr unsigned STATE_KEYS = 2;
constexpr unsigned STATE_COEFFICIENT_BYTES = 7;

/// A sink that digests what it is fed.
struct StateHash : StateSink {
    uint64_t h[STATE_KEYS];
    uint64_t coefficients;                    // coefficients absorbed so far
    uint64_t position;                        // bytes of the encoding so far
    uint8_t pending[STATE_COEFFICIENT_BYTES]; // the start of the next coefficient
    uint32_t pending_size;                    //
    const uint8_t* watched;    // a 32-bit word whose place in the encoding is noted; may be null
    uint64_t watched_position; // its first byte's position in the encoding; UINT64_MAX: not fed
    uint8_t watched_bytes[sizeof(uint32_t)]; // its bytes when it was fed
};

/// Starts a digest; `watched`, when not null, is a 32-bit word of the model whose place in the encoding is
/// noted (it must be fed within one range).
void state_hash_start(StateHash* hash, const void* watched = nullptr);
StateDigest state_hash_finish(StateHash* hash);
/// The digest of the same state with the watched word holding `value` instead; false when the watched word
/// was not fed. `hash` is the finished hash whose digest is `digest`.
bool state_digest_replaced(const StateHash& hash, const StateDigest& digest, uint32_t value,
                           StateDigest* out);
/// model_state's digest.
StateDigest model_state_digest();
