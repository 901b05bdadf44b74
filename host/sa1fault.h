// The fault injector: sets, resets or flips one randomly chosen meaningful bit of a controller's memory.
//
// The injector is one process, "Fault Injector", with its own random stream (seeded 111). Its target areas
// all share one layout, described by a fault mask: per 32-bit word of the area, the bits a fault may hit.
// Two targets exist per controller: "CNI" (the whole interface memory, 4828 words; the mask follows the
// widths of its fields) and "Reg" (the frame buffers and the registers behind them, 184 words). Area 0
// belongs to controller O1 and is enabled, area 1 to controller M1 and is disabled.
//
// One injection draws a rank k in 1..total_bits (random_uniform(1, total_bits) rounded, so the first and
// last rank have half the weight of the others), finds the word by bisection over the cumulative counts of
// mask bits, takes the k-th set bit of that word's mask, and applies the effect to that bit of every enabled
// area. The write is a plain memory write: it bypasses the field setters and the controller's hooks, so a
// corrupted control word takes effect when the controller next reads it.
//
// Periodic injection: while the rate (faults per second) is above 0 and an area is enabled, the process
// injects and then holds an exponentially distributed time with mean 1/rate seconds. Setting a rate plans
// the process from now; a rate of 0 unplans it.
#pragma once

#include "host/nodes.h"
#include "kernel/random_stream.h"
#include "kernel/sim_process.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct Cluster;

enum FaultEffect : uint8_t { FAULT_SET = 0, FAULT_RESET = 1, FAULT_FLIP = 2 };
enum FaultTarget : uint32_t { TARGET_CNI = 0, TARGET_REG = 1 };
constexpr unsigned FAULT_EFFECT_COUNT = 3;
constexpr unsigned FAULT_TARGET_COUNT = 2;

/// The names of the effects and targets, indexed by FaultEffect and FaultTarget: what logs, campaign CSVs,
/// summaries and the command line say.
inline constexpr const char* FAULT_EFFECT_NAMES[FAULT_EFFECT_COUNT] = {"set", "reset", "flip"};
inline constexpr const char* FAULT_TARGET_NAMES[FAULT_TARGET_COUNT] = {"CNI", "Reg"};
/// The name of an effect or target; "none" for a value that is neither.
const char* fault_effect_name(uint8_t effect);
const char* fault_target_name(uint32_t target);
/// The effect or target called `name`, compared without regard to case ("flip", "CNI" or "cni"); false when
/// no effect or target is called so.
bool fault_effect_by_name(std::string_view name, uint8_t* effect);
bool fault_target_by_name(std::string_view name, uint32_t* target);

/// The injector's areas belong to these nodes: area 0 to O1, area 1 to M1; only area 0 is enabled. A
/// campaign of another node's bits aims the enabled area at that node instead (set_fault_node).
constexpr unsigned FAULT_AREA_COUNT = 2;
inline constexpr unsigned FAULT_AREA_NODES[FAULT_AREA_COUNT] = {NODE_O1, NODE_M1};
constexpr unsigned FAULT_ENABLED_AREA = 0;
/// The name of the node whose memory area `area` is ("O1"); "?" for an area that does not exist.
const char* fault_area_node_name(uint32_t area);

constexpr uint32_t FAULT_INJECTOR_SEED = 111;
/// The highest rate a front end accepts, in faults per second: one fault per microsecond. Beyond it the
/// injector's own events would crowd out the cluster's, and simulated time would hardly advance.
constexpr double MAX_FAULT_RATE_PER_S = 1.0e6;
/// Whether a front end takes `rate` (faults per second): 0 to MAX_FAULT_RATE_PER_S; never NaN or infinity.
constexpr bool fault_rate_accepted(double rate) {
    return rate >= 0.0 && rate <= MAX_FAULT_RATE_PER_S;
}
constexpr unsigned CNI_MASK_WORDS = 4828;
constexpr unsigned REG_MASK_WORDS = 184;

/// Where an injection came from: the injector's own periodic event, a call between two kernel steps
/// ("Inject now", campaigns, replays, a fault added to the fault plan), or an event of the fault plan.
enum InjectionSource : uint8_t { SOURCE_NOW = 0, SOURCE_PERIODIC = 1, SOURCE_PLAN = 2 };
constexpr unsigned INJECTION_SOURCE_COUNT = 3;

/// What one injection did (to the first enabled area), or, for a fault of the fault plan
/// (host/fault_plan.h), one thing the fault did: a row of the injection log.
struct InjectionRecord {
    double time;
    uint64_t step;   // kernel steps executed before it (before the injector's or the plan's own event)
    uint32_t target; // FaultTarget
    uint32_t area;   // index of the area (0: O1)
    uint32_t word;   // word index in the area
    uint32_t bit;    // bit index in the word
    uint8_t effect;
    uint32_t before;
    uint32_t after;
    uint8_t source; // InjectionSource
    // Faults of the fault plan; the injector's own rows leave these as they are here.
    uint32_t fault = 0;   // the fault's number in its plan (1 = the first added); 0: the injector's
    uint8_t kind = 0;     // FaultKind (memory for the injector)
    uint8_t action = 0;   // FaultRowAction: a bit changed, the fault added, an occurrence's start, end, tick
    int32_t node = -1;    // the node whose memory, controller or host the row concerns; -1: the area's node
    uint8_t nodes = 0;    // the nodes the row concerns, bit n for node n (0: the area's node)
    std::string detail{}; // added: the fault's text form; otherwise what the row did, in a few words
};
/// The node a row concerns: its own node, else the node of its area.
int injection_node(const InjectionRecord& record);
/// The nodes a row concerns (bit n for node n).
uint8_t injection_nodes(const InjectionRecord& record);

using InjectionListener = void (*)(void* context, const InjectionRecord& record);

struct FaultInjector : SimProcess {
    std::vector<uint32_t*> areas;     // base of each area
    std::vector<uint32_t> enabled;    // per area: faults are applied when non-zero
    RandomStream* rng;                // owned
    double rate;                      // faults per second
    uint8_t effect;                   // FaultEffect
    uint32_t word_count;              // length of the mask in words
    const uint32_t* mask;             // one static table per target kind
    std::vector<uint32_t> cumulative; // set mask bits in words 0..w
    uint32_t total_bits;
    uint32_t injections;
    uint32_t target;            // the target the mask belongs to (for the injection record)
    int node;                   // the node of the enabled area when it is not O1 (records name it); else -1
    InjectionListener listener; // told of every injection (logs); may be null
    void* listener_context;
};

/// The static fault masks.
const uint32_t* cni_fault_mask();
const uint32_t* register_fault_mask();
/// `word` with the bits of `bit` set, reset or flipped by `effect`; unchanged for any other effect.
uint32_t apply_fault_effect(uint32_t word, uint32_t bit, uint8_t effect);

FaultInjector* create_fault_injector(const char* name);
void set_injection_mask(FaultInjector* fi, uint32_t size_in_bytes, const uint32_t* mask);
void clear_areas(FaultInjector* fi);
uint32_t add_area(FaultInjector* fi, uint32_t* base);
void enable_area(FaultInjector* fi, uint32_t index, uint32_t flag);
/// Aims the cluster's injector at the interfaces (TARGET_CNI) or the registers (TARGET_REG) of its fault node
/// (O1 unless set_fault_node chose another; and M1, disabled); any other value changes only the recorded
/// target.
void set_fault_target(Cluster* cluster, uint32_t target);
/// Aims the enabled area at the memory (of the present target) of `node`, a node of the cluster: its
/// injections change that node's bits, and their records name it.
void set_fault_node(Cluster* cluster, unsigned node);
bool armed(const FaultInjector* fi);
/// One fault now.
void inject(FaultInjector* fi);
/// The draw of one injection from `rng`: a rank among the mask's bits, its word and its bit (see above).
/// inject draws from the injector's own stream; a campaign draws from a stream of its own, outside the model.
/// False when the mask has no bits.
bool draw_fault_bit(const FaultInjector* fi, RandomStream* rng, uint32_t* word, uint32_t* bit);
/// A fault mask with the counts the draw needs: cumulative[w] = set bits in words 0..w.
struct FaultMaskCounts {
    const uint32_t* mask = nullptr;
    uint32_t word_count = 0;
    std::vector<uint32_t> cumulative;
    uint32_t total_bits = 0;
};
FaultMaskCounts count_mask_bits(const uint32_t* mask, uint32_t word_count);
/// The same draw over any counted mask (the fault plan's random fields, on any node).
bool draw_mask_bit(const FaultMaskCounts& counts, RandomStream* rng, uint32_t* word, uint32_t* bit);
/// The target's mask with its counts, made once.
const FaultMaskCounts& target_mask_counts(uint32_t target);
/// One given fault now (replays): the bit `bit` of word `word` of every enabled area, with `effect`; traced
/// like a drawn one. False when word or bit lies outside the present target's mask.
bool inject_bit(FaultInjector* fi, uint32_t word, uint32_t bit, uint8_t effect, uint8_t source);
/// A new rate (values below 0 or not a number are ignored): an armed injector is planned from now; one
/// that is not armed (rate 0) is taken out of the sequencing set.
void set_fault_rate(FaultInjector* fi, double rate);
void set_fault_effect(FaultInjector* fi, uint8_t effect);
void fault_injector_body(SimProcess* process);
/// The name of the field that word `word` of a target holds ("cstate.membership[3]", "frame_buffer[1].crc").
const char* fault_word_name(uint32_t target, uint32_t word, char* buffer, unsigned size);
