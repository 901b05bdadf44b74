// One fault, described once: what kind of fault, where it strikes, what it does, when it happens and how
// long it lasts. Every front end (pelorin-sim's --fault and --scenario, the window's fault panel and its
// lessons, campaigns, the tests) describes its faults this way and hands them to the fault plan
// (host/fault_plan.h), which makes them happen at exact simulated times.
//
// The kinds cover the faults a TTP/C cluster is built to survive:
//
//   kind          where                what it does                                   how long
//   memory        node(s)              sets, resets or flips bits of a controller's     at once
//                                      interface (target CNI) or registers (Reg)
//   stuck         node(s)              holds bits at 0 or 1: the model's own writes     duration_us, or
//                                      do not clear them while it lasts                 to the end
//   intermittent  node(s)              a bit that comes and goes at `rate` per second:  duration_us, or
//                                      flipped at each event, or stuck (value) and      to the end
//                                      released in turn
//   corrupt       channel              frames arrive corrupted (their check fails) at   frames (1), or
//                                      every receiver                                  duration_us
//   lose          channel              frames are lost: receivers hear nothing          frames (1), or
//                                                                                      duration_us
//   asymmetric    channel, receivers   frames arrive corrupted (or lost, effect=lose)   frames (1), or
//                                      only at the receivers named; the others get     duration_us
//                                      them whole
//   blackout      channel              a noise burst: nothing passes, receivers hear    duration_us
//                                      noise
//   bit-errors    channel              each frame is corrupted with the probability     duration_us
//                                      that one of its bits fails at `ber`
//   crash         node(s)              the controller falls silent: it sends and        until its host
//                                      receives nothing                                restarts it, or
//                                                                                      duration_us
//   host-crash    node(s)              the host stops: no life sign, no tasks           until a host
//                                                                                      restart, or
//                                                                                      duration_us
//   host-restart  node(s)              the host starts over, as after power-on          at once
//   babbling      node(s), channel     the controller sends every interval_us, in       duration_us, or
//                                      and out of its slot; its guardian has to stop it to the end
//   guardian-open node(s)              the bus guardian lets every frame through        duration_us, or
//                                                                                      to the end
//   sos           node(s)              slightly off in time: the node's frames          duration_us, or
//                                      start offset_us from their action time           to the end
//   clock         node(s)              a step of the clock's drift (drift_step) or a    at once
//                                      jump of its local time (jump, macroticks)
//
// When. A fault happens once its trigger fires, plus delay_us:
//   (none)                  at once: at the time the fault is added (time 0 for a scenario)
//   at_us=T                 at the simulated time T
//   cycle=C slot=S          at the start of slot S (its position in the cluster cycle) of cluster cycle C,
//                           counted from 1 at the first slot 0 that starts after the fault is added (for a
//                           scenario, from the run's start)
//   on_state=NODE:STATE     when the node's controller enters STATE (APPLICATION, FREEZE, ...)
//   on_membership=NODE      when the node's membership vector changes (NODE may be `any`)
//   on_frame=NODE:K         at the start of the node's K-th own frame (counted from the fault's adding)
// With count=N (default 1) it happens N times: every period_us after the first, or, for a protocol event
// without a period, at each of the next events.
//
// Memory faults name the bits: field=NAME (a word of the target by the name the injection log uses,
// "membership[2]", "protocol_state", "frame_buffer[1].crc") or field=random (the default: a bit drawn as
// the fault injector draws it, among the bits the target's fault mask marks as meaningful); then bit=B (one
// bit), bits=K (K adjacent bits from bit B, default 0), mask=0xHEX or mask=all (every meaningful bit of the
// word). Every bit must be one a fault may hit in that word.
//
// Text form (the command line's --fault, the injection log, campaign lines): the kind, then key=value
// words separated by blanks, e.g. `babbling node=O1 at_us=200000 duration_us=5000`. Node sets are written
// M1+O2 (a comma is taken as well), `all` for the four nodes. A value may be quoted ("...") to hold blanks
// (captions). format_fault writes the canonical text: the kind, then every key that differs from the kind's
// default, in a fixed order, without the caption; parse_fault(format_fault(f)) gives f again.
#pragma once

#include "host/nodes.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

enum class FaultKind : uint8_t {
    MEMORY,
    STUCK,
    INTERMITTENT,
    CORRUPT,
    LOSE,
    ASYMMETRIC,
    BLACKOUT,
    BIT_ERRORS,
    CRASH,
    HOST_CRASH,
    HOST_RESTART,
    BABBLING,
    GUARDIAN_OPEN,
    SOS,
    CLOCK,
};
constexpr unsigned FAULT_KIND_COUNT = 15;
/// "memory", "stuck", ... as the text form, logs and summaries name them; "?" for no kind.
const char* fault_kind_name(FaultKind kind);
bool fault_kind_by_name(std::string_view name, FaultKind* kind);
/// What a kind acts on.
bool is_memory_kind(FaultKind kind);  // memory, stuck, intermittent
bool is_channel_kind(FaultKind kind); // corrupt, lose, asymmetric, blackout, bit-errors

/// Channels, bit k for channel k (A = 0, B = 1).
constexpr uint8_t CHANNEL_SET_A = 1, CHANNEL_SET_B = 2, CHANNEL_SET_BOTH = 3;

/// What a memory fault does to its bits.
enum class BitAction : uint8_t { SET, RESET, FLIP };
/// Which bits of the word a memory fault takes.
enum class BitChoice : uint8_t {
    ONE,      // bit
    ADJACENT, // bits adjacent bits from bit
    MASK,     // mask
    WORD,     // every meaningful bit of the word
};

enum class TriggerKind : uint8_t {
    NOW,        // when the fault is added (these stay first: TRIGGER_KIND_COUNT counts them)
    AT_TIME,    // at_us
    SLOT,       // cycle, slot
    STATE,      // on_state: node enters state
    MEMBERSHIP, // on_membership: node's (or any node's) vector changes
    OWN_FRAME,  // on_frame: node's k-th own frame
};
constexpr unsigned TRIGGER_KIND_COUNT = 6;

struct FaultTrigger {
    TriggerKind kind = TriggerKind::NOW;
    double at_us = 0.0; // AT_TIME
    uint32_t cycle = 0; // SLOT: cluster cycle, from 1
    uint32_t slot = 0;  // SLOT: position in the cluster cycle
    int node = -1;      // STATE, OWN_FRAME, MEMBERSHIP (-1: any node, MEMBERSHIP only)
    uint32_t state = 0; // STATE: protocol state code
    uint32_t frame = 0; // OWN_FRAME: the k-th own frame, from 1
    double delay_us = 0.0;
    double period_us = 0.0; // 0: none
    uint32_t count = 1;     // occurrences
};

/// Sentinel: no duration given (the fault lasts as its kind's table says).
constexpr double UNTIL_END = -1.0;

struct FaultSpec {
    FaultKind kind = FaultKind::MEMORY;
    NodeSet nodes = 0; // memory kinds, node kinds, babbling: the nodes struck
    // Memory kinds.
    uint32_t target = 0;      // FaultTarget: 0 CNI, 1 Reg
    bool random_field = true; // field=random: drawn among the mask's bits
    uint32_t word = 0;        // the field's word in the target (when not random)
    BitChoice bits = BitChoice::ONE;
    uint32_t bit = 0;       // ONE and ADJACENT: the (lowest) bit
    uint32_t bit_count = 1; // ADJACENT
    uint32_t mask = 0;      // MASK
    BitAction action = BitAction::FLIP;
    uint32_t stuck_value = 0;        // stuck; intermittent with `value`
    bool intermittent_stuck = false; // intermittent: stuck at stuck_value while present (else flips)
    double rate_per_s = 0.0;         // intermittent: events per second
    // Channel kinds and babbling.
    uint8_t channels = CHANNEL_SET_BOTH;
    NodeSet receivers = 0;        // asymmetric
    bool asymmetric_lose = false; // asymmetric: lose instead of corrupt
    uint32_t frames = 0;          // frames struck; 0: by duration (corrupt, lose, asymmetric: 1 by default)
    double bit_error_rate = 0.0;  // bit-errors
    // Node and time kinds.
    double interval_us = 0.0; // babbling: between two transmissions
    double offset_us = 0.0;   // sos
    double drift_step = 0.0;  // clock
    int32_t jump = 0;         // clock: macroticks
    // How long and when.
    double duration_us = UNTIL_END;
    FaultTrigger trigger;
    std::string caption; // a sentence a window shows when the fault fires; not part of the text form
};

/// Defaults of the kinds' own keys.
constexpr double DEFAULT_BABBLING_INTERVAL_US = 50.0;

/// The keys of the text form, in canonical order. Each kind takes the keys its table row lists; a key
/// that does not belong to the kind is refused.
enum class FaultKey : uint8_t {
    NODE,
    TARGET,
    FIELD,
    BIT,
    BITS,
    MASK,
    EFFECT,
    VALUE,
    RATE,
    CHANNEL,
    RECEIVERS,
    FRAMES,
    BER,
    INTERVAL_US,
    OFFSET_US,
    DRIFT_STEP,
    JUMP,
    DURATION_US,
    AT_US,
    CYCLE,
    SLOT,
    ON_STATE,
    ON_MEMBERSHIP,
    ON_FRAME,
    DELAY_US,
    PERIOD_US,
    COUNT,
    CAPTION,
};
constexpr unsigned FAULT_KEY_COUNT = 28;
/// "node", "target", ... as written in the text form and in scenario files.
const char* fault_key_name(FaultKey key);
bool fault_key_by_name(std::string_view name, FaultKey* key);
/// Whether `kind` takes `key` (the trigger keys and caption go with every kind).
bool kind_takes_key(FaultKind kind, FaultKey key);

/// A fault's text split into its kind and its key=value words, in the order written (quotes removed).
struct FaultWords {
    std::string kind;
    std::vector<std::pair<std::string, std::string>> values;
};
/// Splits the text form; false with the reason (an unterminated quote, a word without '=', no kind).
bool split_fault_words(std::string_view text, FaultWords* words, std::string* why);
/// Builds a fault from its words: every key known, taken by the kind, given once, its value in range; the
/// combinations the kind needs (a channel for channel kinds, receivers for asymmetric, one of drift_step
/// and jump for clock, ...). False with the reason, naming the key; `refused_key`, when given, is set to
/// the key the reason is about (a word's key as written, or the name of a key that is missing or clashes;
/// "" for the kind), so that a reader can point at the line that gave it.
bool fault_from_words(const FaultWords& words, FaultSpec* fault, std::string* why,
                      std::string* refused_key = nullptr);
/// The two together.
bool parse_fault(std::string_view text, FaultSpec* fault, std::string* why);
/// The canonical text form (see the file comment).
std::string format_fault(const FaultSpec& fault);
/// A short phrase for windows and traces: "babbling of O1", "corrupt frames on channel A".
std::string describe_fault(const FaultSpec& fault);

/// A node set as the text form writes it ("M1+O2", "all"); "" for none.
std::string node_set_text(NodeSet nodes);
/// Parses "M1", "M1+O2", "M1,O2", "all"; false when a name is no node or the set is empty.
bool parse_node_set(std::string_view text, NodeSet* nodes);
/// The word of `target` called `name` as fault_word_name names it; false when no word is.
bool fault_word_by_name(uint32_t target, std::string_view name, uint32_t* word);
/// The bits of word `word` of `target` that `fault` takes (its choice of bits, from `lowest_bit` for one
/// bit or adjacent bits). 0 when they are not all meaningful bits of that word (or none are chosen); with
/// `clip`, the meaningful ones among them (a drawn bit's neighbours may lie beyond its field).
uint32_t chosen_bits(const FaultSpec& fault, uint32_t target, uint32_t word, uint32_t lowest_bit,
                     bool clip = false);
