#include "host/sa1fault.h"

#include "host/cluster.h"
#include "kernel/sim_assert.h"
#include "kernel/trace.h"
#include "ttpc/fp1cni.h"
#include "ttpc/sl1func.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstdio>
#include <strings.h>

namespace {

constexpr const char* SOURCE = "sa1fault";
constexpr double PER_SECOND = 1e-6; // rates per second, time in microseconds

enum : uint32_t { INJECTOR_START = SIM_START, INJECTOR_WAITED };

/// A run of words with the same number of mask bits: [first, last], width bits each.
struct MaskRun {
    unsigned first;
    unsigned last;
    unsigned width;
};

// The interface: the widths of its fields; spare words, the owner, clock_correction and timer1 carry no
// mask bits, and of the message area only the application's eight messages (bytes 0-47) do.
constexpr MaskRun CNI_MASK_RUNS[] = {
    {1, 1, 16},     {2, 2, 16},     {3, 3, 9},     {4, 4, 5},      {5, 5, 2},     {6, 69, 1},
    {70, 133, 1},   {134, 139, 8},  {141, 141, 8}, {142, 142, 4},  {143, 157, 1}, {158, 158, 4},
    {160, 162, 1},  {163, 163, 4},  {164, 169, 8}, {170, 170, 5},  {171, 171, 1}, {172, 172, 6},
    {173, 173, 4},  {174, 174, 16}, {175, 180, 1}, {181, 181, 16}, {182, 187, 1}, {188, 189, 16},
    {190, 192, 1},  {193, 193, 16}, {194, 195, 1}, {197, 197, 16}, {198, 217, 1}, {218, 219, 16},
    {220, 231, 32},
};

// The registers: per frame buffer (80 words, channel A then B) noise, frame_type, the three mcr bits, the
// 16 N-frame data bytes, the N-frame crc and data_length; then csa_stack, csa_index, interrupt_pending,
// bg_sync_pending and mtd.
constexpr unsigned FRAME_WORDS = 80;
constexpr MaskRun FRAME_MASK_RUNS[] = {{4, 4, 1},   {5, 5, 1},    {6, 8, 1},
                                       {9, 12, 32}, {13, 13, 16}, {14, 14, 4}};
constexpr MaskRun REGISTER_MASK_RUNS[] = {
    {163, 166, 16}, {167, 167, 2}, {179, 179, 1}, {181, 181, 1}, {182, 183, 16}};

template <size_t N>
void fill(uint32_t* mask, const MaskRun (&runs)[N], unsigned offset) {
    for (const MaskRun& run : runs) {
        for (unsigned w = run.first; w <= run.last; ++w) {
            mask[offset + w] = bit_mask(run.width);
        }
    }
}

std::array<uint32_t, CNI_MASK_WORDS> make_cni_mask() {
    std::array<uint32_t, CNI_MASK_WORDS> mask{};
    fill(mask.data(), CNI_MASK_RUNS, 0);
    return mask;
}

std::array<uint32_t, REG_MASK_WORDS> make_register_mask() {
    std::array<uint32_t, REG_MASK_WORDS> mask{};
    fill(mask.data(), FRAME_MASK_RUNS, 0);
    fill(mask.data(), FRAME_MASK_RUNS, FRAME_WORDS);
    fill(mask.data(), REGISTER_MASK_RUNS, 0);
    return mask;
}

/// The injector's model state: the record but its count of injections (a report nothing reads), and the
/// buffers of its area and enable tables. The counts of mask bits (cumulative) are left out too: they are a
/// function of the mask (a constant table) and its length, which the record holds.
void injector_state(const SimObject* object, StateSink* sink) {
    const auto* fi = static_cast<const FaultInjector*>(object);
    state_feed_object(sink, fi, {state_gap(fi, &fi->injections)});
    state_feed(sink, fi->areas.data(), fi->areas.size() * sizeof fi->areas[0]);
    state_feed(sink, fi->enabled.data(), fi->enabled.size() * sizeof fi->enabled[0]);
}

void release_injector(SimObject* object) {
    auto* fi = static_cast<FaultInjector*>(object);
    fi->areas.clear();
    fi->enabled.clear();
    fi->cumulative.clear();
    if (fi->rng != nullptr) {
        dispose_random(fi->rng);
        fi->rng = nullptr;
    }
}

/// Applies the effect to one bit of every enabled area and tells the listener what happened to the first.
void apply_to_areas(FaultInjector* fi, uint32_t w, uint32_t bit, uint8_t effect, uint8_t source) {
    const uint64_t steps_before = source == SOURCE_PERIODIC ? step_count() - 1 : step_count();
    InjectionRecord record = {
        sim_time(), steps_before, fi->target, 0, w, static_cast<uint32_t>(std::countr_zero(bit)), effect, 0,
        0,          source};
    bool recorded = false;
    for (size_t i = 0; i < fi->areas.size(); ++i) {
        if (fi->enabled[i] == 0) {
            continue;
        }
        uint32_t& word = fi->areas[i][w];
        const uint32_t before = word;
        word = apply_fault_effect(word, bit, effect);
        note_message_write(); // the word may be one of a message
        if (!recorded) {
            record.area = static_cast<uint32_t>(i);
            record.node = i == FAULT_ENABLED_AREA ? fi->node : -1;
            record.before = before;
            record.after = word;
            recorded = true;
        }
    }
    if (recorded && fi->listener != nullptr) {
        fi->listener(fi->listener_context, record);
    }
}

} // namespace

uint32_t apply_fault_effect(uint32_t word, uint32_t bit, uint8_t effect) {
    switch (effect) {
    case FAULT_SET:
        return word | bit;
    case FAULT_RESET:
        return word & ~bit;
    case FAULT_FLIP:
        return word ^ bit;
    default:
        return word;
    }
}

const uint32_t* cni_fault_mask() {
    static const std::array<uint32_t, CNI_MASK_WORDS> mask = make_cni_mask();
    return mask.data();
}

const uint32_t* register_fault_mask() {
    static const std::array<uint32_t, REG_MASK_WORDS> mask = make_register_mask();
    return mask.data();
}

FaultInjector* create_fault_injector(const char* name) {
    auto* fi = sim_new<FaultInjector>();
    inic_process(fi, fault_injector_body);
    fi->name = name;
    fi->mask = nullptr;
    fi->word_count = 0;
    fi->total_bits = 0;
    fi->rate = 0.0;
    fi->effect = FAULT_FLIP;
    fi->injections = 0;
    fi->node = -1;
    fi->rng = inic_random(FAULT_INJECTOR_SEED);
    fi->destructor = release_injector;
    fi->feed_state = injector_state;
    trace(fi, "Aktivuji fault injektor.\n");
    return fi;
}

FaultMaskCounts count_mask_bits(const uint32_t* mask, uint32_t word_count) {
    FaultMaskCounts counts;
    counts.mask = mask;
    counts.word_count = word_count;
    counts.cumulative.assign(word_count, 0);
    uint32_t running = 0;
    for (uint32_t w = 0; w < word_count; ++w) {
        running += static_cast<uint32_t>(std::popcount(mask[w]));
        counts.cumulative[w] = running;
    }
    counts.total_bits = running;
    return counts;
}

const FaultMaskCounts& target_mask_counts(uint32_t target) {
    static const FaultMaskCounts cni = count_mask_bits(cni_fault_mask(), CNI_MASK_WORDS);
    static const FaultMaskCounts reg = count_mask_bits(register_fault_mask(), REG_MASK_WORDS);
    return target == TARGET_REG ? reg : cni;
}

void set_injection_mask(FaultInjector* fi, uint32_t size_in_bytes, const uint32_t* mask) {
    FaultMaskCounts counts = count_mask_bits(mask, size_in_bytes / sizeof(uint32_t));
    fi->word_count = counts.word_count;
    fi->mask = mask;
    fi->cumulative = std::move(counts.cumulative);
    fi->total_bits = counts.total_bits;
}

void clear_areas(FaultInjector* fi) {
    fi->areas.clear();
    fi->enabled.clear();
}

uint32_t add_area(FaultInjector* fi, uint32_t* base) {
    fi->areas.push_back(base);
    fi->enabled.push_back(0);
    return static_cast<uint32_t>(fi->areas.size() - 1);
}

void enable_area(FaultInjector* fi, uint32_t index, uint32_t flag) {
    sim_assert(index < fi->areas.size(), "index < fi->area_count", SOURCE);
    fi->enabled[index] = flag;
}

void set_fault_target(Cluster* cluster, uint32_t target) {
    cluster->fault_target = target;
    FaultInjector* fi = cluster->fault_injector;
    if (target != TARGET_CNI && target != TARGET_REG) {
        return;
    }
    if (target == TARGET_CNI) {
        set_injection_mask(fi, CNI_MASK_WORDS * sizeof(uint32_t), cni_fault_mask());
    } else {
        set_injection_mask(fi, REG_MASK_WORDS * sizeof(uint32_t), register_fault_mask());
    }
    fi->target = target;
    clear_areas(fi);
    for (uint32_t area = 0; area < FAULT_AREA_COUNT; ++area) {
        const unsigned node = area == FAULT_ENABLED_AREA ? cluster->fault_node : FAULT_AREA_NODES[area];
        TtpController* c = cluster->controllers[node];
        uint32_t* base = target == TARGET_CNI ? cni_words(c->cni) : controller_register_words(c);
        enable_area(fi, add_area(fi, base), area == FAULT_ENABLED_AREA ? 1 : 0);
    }
}

void set_fault_node(Cluster* cluster, unsigned node) {
    sim_assert(node < NODE_COUNT, "node < NODE_COUNT", SOURCE);
    cluster->fault_node = node;
    cluster->fault_injector->node =
        node == FAULT_AREA_NODES[FAULT_ENABLED_AREA] ? -1 : static_cast<int>(node);
    set_fault_target(cluster, cluster->fault_target);
}

bool armed(const FaultInjector* fi) {
    if (!(fi->rate > 0.0)) {
        return false; // zero, negative or not a number
    }
    for (uint32_t flag : fi->enabled) {
        if (flag != 0) {
            return true;
        }
    }
    return false;
}

namespace {

bool draw_bit(const uint32_t* mask, const uint32_t* cumulative, uint32_t word_count, uint32_t total_bits,
              RandomStream* rng, uint32_t* word, uint32_t* bit) {
    if (total_bits == 0) {
        return false;
    }
    const double r = random_uniform(rng, 1.0, total_bits);
    auto k = static_cast<uint32_t>(std::trunc(r + 0.5));
    k = k < 1 ? 1 : k > total_bits ? total_bits : k;
    uint32_t lo = 0;
    uint32_t hi = word_count - 1;
    while (lo < hi) {
        uint32_t mid = (lo + hi) / 2;
        if (cumulative[mid] >= k) {
            hi = mid;
        } else {
            lo = mid + 1;
        }
    }
    const uint32_t w = lo;
    uint32_t j = w == 0 ? k : k - cumulative[w - 1];
    uint32_t x = mask[w];
    uint32_t lowest = 0;
    for (; j > 0; --j) {
        sim_assert(x != 0, "x != 0", SOURCE);
        lowest = x & (~x + 1); // lowest set bit
        x &= x - 1;
    }
    *word = w;
    *bit = static_cast<uint32_t>(std::countr_zero(lowest));
    return true;
}

} // namespace

bool draw_fault_bit(const FaultInjector* fi, RandomStream* rng, uint32_t* word, uint32_t* bit) {
    return draw_bit(fi->mask, fi->cumulative.data(), fi->word_count, fi->total_bits, rng, word, bit);
}

bool draw_mask_bit(const FaultMaskCounts& counts, RandomStream* rng, uint32_t* word, uint32_t* bit) {
    return draw_bit(counts.mask, counts.cumulative.data(), counts.word_count, counts.total_bits, rng, word,
                    bit);
}

void inject(FaultInjector* fi) {
    trace(fi, "Injektuji chyby.\n");
    uint32_t word = 0;
    uint32_t bit = 0;
    if (!draw_fault_bit(fi, fi->rng, &word, &bit)) {
        return;
    }
    fi->injections += 1;
    const bool periodic = current() == fi && fi->state == ACTIVE;
    apply_to_areas(fi, word, 1u << bit, fi->effect, periodic ? SOURCE_PERIODIC : SOURCE_NOW);
}

bool inject_bit(FaultInjector* fi, uint32_t word, uint32_t bit, uint8_t effect, uint8_t source) {
    constexpr uint32_t WORD_BITS = 32;
    if (word >= fi->word_count || bit >= WORD_BITS || (fi->mask[word] & (1u << bit)) == 0) {
        return false;
    }
    trace(fi, "Injektuji chyby.\n");
    fi->injections += 1;
    apply_to_areas(fi, word, 1u << bit, effect, source);
    return true;
}

void set_fault_rate(FaultInjector* fi, double rate) {
    if (!(rate >= 0.0) || !std::isfinite(rate)) {
        return;
    }
    fi->rate = rate;
    if (armed(fi)) {
        (void)schedule_after(fi, random_exponential(fi->rng, rate * PER_SECOND));
    } else {
        (void)unschedule(fi); // no wake-up that would only find nothing to do
    }
}

void set_fault_effect(FaultInjector* fi, uint8_t effect) {
    fi->effect = effect;
}

void fault_injector_body(SimProcess* process) {
    auto* fi = static_cast<FaultInjector*>(process);
    if (!armed(fi)) {
        passivate(INJECTOR_START);
        return;
    }
    inject(fi);
    hold(random_exponential(fi->rng, fi->rate * PER_SECOND), INJECTOR_WAITED);
}

// --- Names of the words (injection logs) -----------------------------------------------------------------

namespace {

struct NamedRun {
    unsigned first;
    unsigned last;
    const char* name; // indexed runs print [word - first]
    bool indexed;
};

constexpr NamedRun CNI_NAMES[] = {
    {0, 0, "owner", false},
    {1, 1, "spare_word", false},
    {2, 2, "global_time", false},
    {3, 3, "medl_position", false},
    {4, 4, "cluster_mode", false},
    {5, 5, "dmc", false},
    {6, 69, "membership", true},
    {70, 133, "null_frame", true},
    {134, 134, "agreed_slots", false},
    {135, 135, "failed_slots", false},
    {136, 136, "invalid_slots", false},
    {137, 137, "config_valid", false},
    {138, 138, "membership_failures", false},
    {139, 139, "cold_starts", false},
    {140, 140, "clock_correction", false},
    {141, 141, "cstate_valid", false},
    {142, 142, "protocol_state", false},
    {144, 144, "bg_error", false},
    {145, 145, "ack_error", false},
    {146, 146, "clock_sync_error", false},
    {147, 147, "membership_error", false},
    {148, 148, "medl_crc_error", false},
    {149, 149, "blackout_error", false},
    {150, 150, "download_completed", false},
    {151, 151, "slot_occupied_error", false},
    {152, 152, "mode_violation_error", false},
    {153, 153, "nbw_error", false},
    {158, 158, "frame_status_a", false},
    {163, 163, "frame_status_b", false},
    {164, 164, "mtd_a", false},
    {165, 165, "mtd_b", false},
    {170, 173, "logical_name", true},
    {174, 174, "controller_lifesign", false},
    {181, 181, "local_time", false},
    {183, 183, "ack_mismatch", false},
    {188, 188, "host_lifesign", false},
    {189, 189, "external_correction", false},
    {190, 190, "mcr_immediate", false},
    {191, 192, "mcr_mode", true},
    {193, 193, "controller_await", false},
    {194, 195, "selftest_request", true},
    {196, 196, "timer1", false},
    {197, 197, "timer2", false},
    {198, 207, "interrupt_enable", true},
    {208, 217, "interrupt_status", true},
    {218, 218, "controller_on", false},
    {219, 219, "local_time_high", false},
    {220, 4827, "message_area_word", true},
};

constexpr NamedRun FRAME_NAMES[] = {
    {0, 1, "header", true}, {2, 3, "send_time", true}, {4, 4, "noise", false}, {5, 5, "frame_type", false},
    {6, 8, "mcr", true},    {9, 12, "data", true},     {13, 13, "crc", false}, {14, 14, "data_length", false},
    {15, 79, "body", true},
};

constexpr NamedRun REGISTER_NAMES[] = {
    {160, 160, "ack_state", false},
    {161, 161, "successor_pos", false},
    {162, 162, "own_pos", false},
    {163, 166, "csa_stack", true},
    {167, 167, "csa_index", false},
    {168, 169, "action_time", true},
    {170, 171, "drift", true},
    {172, 173, "correction_ref_time", true},
    {174, 175, "last_tick_time", true},
    {176, 177, "tick_remainder", true},
    {178, 178, "host_handler_arg", false},
    {179, 179, "interrupt_pending", false},
    {180, 180, "host_handler", false},
    {181, 181, "bg_sync_pending", false},
    {182, 183, "mtd", true},
};

template <size_t N>
bool name_from(const NamedRun (&runs)[N], unsigned word, const char* prefix, char* buffer, unsigned size) {
    for (const NamedRun& run : runs) {
        if (word >= run.first && word <= run.last) {
            if (run.indexed) {
                std::snprintf(buffer, size, "%s%s[%u]", prefix, run.name, word - run.first);
            } else {
                std::snprintf(buffer, size, "%s%s", prefix, run.name);
            }
            return true;
        }
    }
    return false;
}

} // namespace

const char* fault_word_name(uint32_t target, uint32_t word, char* buffer, unsigned size) {
    bool named = false;
    if (target == TARGET_CNI) {
        named = name_from(CNI_NAMES, word, "", buffer, size);
    } else if (word < 2 * FRAME_WORDS) {
        const char* prefix = word < FRAME_WORDS ? "frame_buffer[0]." : "frame_buffer[1].";
        named = name_from(FRAME_NAMES, word % FRAME_WORDS, prefix, buffer, size);
    } else {
        named = name_from(REGISTER_NAMES, word, "", buffer, size);
    }
    if (!named) {
        std::snprintf(buffer, size, "spare[%u]", word);
    }
    return buffer;
}

// --- Names of effects, targets and areas ------------------------------------------------------------------

namespace {

/// The index of `name` in `names`, compared without regard to case; -1 when none matches.
template <size_t N>
int index_by_name(const char* const (&names)[N], std::string_view name) {
    for (size_t i = 0; i < N; ++i) {
        const std::string_view candidate = names[i];
        if (candidate.size() == name.size() &&
            strncasecmp(candidate.data(), name.data(), candidate.size()) == 0) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

} // namespace

const char* fault_effect_name(uint8_t effect) {
    return effect < FAULT_EFFECT_COUNT ? FAULT_EFFECT_NAMES[effect] : "none";
}

const char* fault_target_name(uint32_t target) {
    return target < FAULT_TARGET_COUNT ? FAULT_TARGET_NAMES[target] : "none";
}

bool fault_effect_by_name(std::string_view name, uint8_t* effect) {
    const int index = index_by_name(FAULT_EFFECT_NAMES, name);
    if (index < 0) {
        return false;
    }
    *effect = static_cast<uint8_t>(index);
    return true;
}

bool fault_target_by_name(std::string_view name, uint32_t* target) {
    const int index = index_by_name(FAULT_TARGET_NAMES, name);
    if (index < 0) {
        return false;
    }
    *target = static_cast<uint32_t>(index);
    return true;
}

const char* fault_area_node_name(uint32_t area) {
    return area < FAULT_AREA_COUNT ? CLUSTER_NODES[FAULT_AREA_NODES[area]].name : "?";
}

int injection_node(const InjectionRecord& record) {
    if (record.node >= 0) {
        return record.node;
    }
    return record.area < FAULT_AREA_COUNT ? static_cast<int>(FAULT_AREA_NODES[record.area]) : -1;
}

uint8_t injection_nodes(const InjectionRecord& record) {
    if (record.nodes != 0 || record.fault != 0) {
        return record.nodes; // a described fault's row names its nodes (none for an added fault)
    }
    const int node = injection_node(record);
    return node >= 0 ? static_cast<uint8_t>(1u << node) : 0;
}
