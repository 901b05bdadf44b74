#include "cli/campaign_exhaustive.h"

#include "cli/campaign_csv.h"
#include "cli/campaign_report.h"

#include <algorithm>
#include <array>
#include <bit>
#include <sstream>
#include <tuple>

namespace {

/// The value a set or a reset leaves in a bit; flips always change it.
bool effect_changes(uint8_t effect, uint8_t value) {
    switch (effect) {
    case FAULT_SET:
        return value == 0;
    case FAULT_RESET:
        return value == 1;
    default:
        return true;
    }
}

IntervalFate fate_of(const BitInterval& interval, uint8_t effect) {
    if (!effect_changes(effect, interval.value)) {
        return IntervalFate::UNCHANGED;
    }
    switch (interval.end) {
    case IntervalEnd::WRITE:
        return IntervalFate::KILLED;
    case IntervalEnd::NONE:
        return IntervalFate::LATENT;
    default:
        return IntervalFate::EXPERIMENT;
    }
}

/// The class of an interval decided without an experiment.
Outcome pruned_outcome(IntervalFate fate) {
    return fate == IntervalFate::LATENT ? Outcome::MASKED : Outcome::NO_EFFECT;
}

std::string field_of(uint32_t target, uint32_t word) {
    char name[64];
    return field_group(fault_word_name(target, word, name, sizeof name));
}

const uint32_t* target_mask(uint32_t target, unsigned* words) {
    *words = target == TARGET_REG ? REG_MASK_WORDS : CNI_MASK_WORDS;
    return target == TARGET_REG ? register_fault_mask() : cni_fault_mask();
}

/// Amounts per field and class, fields in the order first met.
struct FieldShares {
    std::vector<std::string> order;
    std::map<std::string, std::array<double, OUTCOMES>> amounts;

    void add(const std::string& field, unsigned outcome, double amount) {
        if (amounts.find(field) == amounts.end()) {
            order.push_back(field);
            amounts[field] = {};
        }
        amounts[field][outcome] += amount;
    }
};

/// Reads the fault space line's words into `shares`; false when a word is not "field/class=weight".
bool read_fault_space(const std::string& line, FieldShares* shares) {
    std::istringstream in(line);
    for (std::string word; in >> word;) {
        const size_t slash = word.rfind('/');
        const size_t equals = word.rfind('=');
        unsigned outcome = 0;
        double weight = 0.0;
        if (!outcome_by_name(slash < equals ? word.substr(slash + 1, equals - slash - 1) : "", &outcome) ||
            !read_exact_number(word.substr(equals + 1), &weight)) {
            return false;
        }
        shares->add(word.substr(0, slash), outcome, weight);
    }
    return true;
}

} // namespace

double fault_space_size(uint32_t target, double window_from_us, double window_to_us) {
    unsigned words = 0;
    const uint32_t* mask = target_mask(target, &words);
    uint64_t bits = 0;
    for (unsigned w = 0; w < words; ++w) {
        bits += static_cast<unsigned>(std::popcount(mask[w]));
    }
    return static_cast<double>(bits) * (window_to_us - window_from_us);
}

FaultSpaceScan scan_fault_space(const GoldenRecord& golden, const CampaignOptions& options) {
    FaultSpaceScan scan;
    scan.total_space = fault_space_size(options.target, options.window_from_us, options.window_to_us);
    for (const BitInterval& interval : golden.intervals) {
        const double weight = interval_weight(interval, options.window_from_us, options.window_to_us);
        if (weight > 0.0) {
            scan.intervals.push_back({interval, weight, fate_of(interval, options.effect)});
        }
    }
    for (size_t i = 0; i < scan.intervals.size(); ++i) {
        if (scan.intervals[i].fate == IntervalFate::EXPERIMENT) {
            scan.experiments.push_back(i);
        }
    }
    std::sort(scan.experiments.begin(), scan.experiments.end(), [&scan](size_t a, size_t b) {
        const BitInterval& x = scan.intervals[a].interval;
        const BitInterval& y = scan.intervals[b].interval;
        return std::tie(x.step, x.word, x.bit) < std::tie(y.step, y.word, y.bit);
    });
    return scan;
}

ExperimentPlan exhaustive_plan(const FaultSpaceScan& scan, uint32_t k) {
    const BitInterval& interval = scan.intervals[scan.experiments[k]].interval;
    ExperimentPlan plan;
    plan.id = k;
    PlannedFault fault;
    fault.step = interval.step;
    fault.word = interval.word;
    fault.bit = interval.bit;
    plan.faults.push_back(fault);
    return plan;
}

std::string exhaustive_row(const FaultSpaceScan& scan, const ExperimentPlan& plan,
                           const ExperimentResult& result) {
    const ScanInterval& s = scan.intervals[scan.experiments[plan.id]];
    return exhaustive_csv_row(campaign_csv_row(result), s.interval.from_us, s.interval.to_us, s.weight_us);
}

std::string fault_space_words(const FaultSpaceScan& scan, const CampaignOptions& options) {
    unsigned words = 0;
    const uint32_t* mask = target_mask(options.target, &words);
    std::map<std::string, std::array<double, OUTCOMES>> pruned;
    for (const ScanInterval& s : scan.intervals) {
        if (s.fate != IntervalFate::EXPERIMENT) {
            pruned[field_of(options.target, s.interval.word)]
                  [static_cast<unsigned>(pruned_outcome(s.fate))] += s.weight_us;
        }
    }
    // Every field with mask bits, in word order, each once (with no-effect 0 when everything of it needs an
    // experiment), so the report lists the fields in the target's order.
    std::string line;
    std::vector<std::string> listed;
    for (uint32_t w = 0; w < words; ++w) {
        const std::string field = field_of(options.target, w);
        if (mask[w] == 0 || std::find(listed.begin(), listed.end(), field) != listed.end()) {
            continue;
        }
        listed.push_back(field);
        const std::array<double, OUTCOMES> amounts = pruned[field];
        for (unsigned o = 0; o < OUTCOMES; ++o) {
            if (amounts[o] > 0.0 || o == static_cast<unsigned>(Outcome::NO_EFFECT)) {
                line += (line.empty() ? "" : " ") + field + "/" + OUTCOME_NAMES[o] + "=" +
                        exact_number(amounts[o]);
            }
        }
    }
    return line;
}

bool write_exhaustive_report(const CampaignOptions& options, const std::string& fault_space,
                             const std::map<uint32_t, std::string>& rows, std::FILE* report,
                             std::string* why) {
    FieldShares shares;
    if (!read_fault_space(fault_space, &shares)) {
        *why = "the fault space line is not 'field/class=weight' words: " + fault_space;
        return false;
    }
    double run_space = 0.0;
    for (const auto& [k, row] : rows) {
        const std::vector<std::string> cells = campaign_csv_cells(row);
        unsigned outcome = 0;
        double weight = 0.0;
        if (outcome_by_name(cells[CAMPAIGN_CSV_CLASS_COLUMN], &outcome) &&
            read_exact_number(cells[EXHAUSTIVE_CSV_WEIGHT_COLUMN], &weight)) {
            shares.add(field_group(cells[CAMPAIGN_CSV_FIELD_COLUMN]), outcome, weight);
            run_space += weight;
        }
    }
    const double total = fault_space_size(options.target, options.window_from_us, options.window_to_us);
    const auto percent = [total](double amount) { return total > 0 ? 100.0 * amount / total : 0.0; };
    std::array<double, OUTCOMES> share{};
    for (const auto& [field, amounts] : shares.amounts) {
        for (unsigned o = 0; o < OUTCOMES; ++o) {
            share[o] += amounts[o];
        }
    }
    std::fprintf(report, "exhaustive scan of %s %s faults in %s, window %s:%s us\n",
                 fault_target_name(options.target), fault_effect_name(options.effect),
                 CLUSTER_NODES[options.node].name, exact_number(options.window_from_us).c_str(),
                 exact_number(options.window_to_us).c_str());
    std::fprintf(report, "fault space          %.0f bit-us (mask bits x window)\n", total);
    std::fprintf(report, "experiments          %zu run, standing for %.0f bit-us (%.2f%% of the space)\n",
                 rows.size(), run_space, percent(run_space));
    std::fprintf(report, "pruning factor       %.1f bit-us per experiment\n",
                 options.runs == 0 ? 0.0 : total / static_cast<double>(options.runs));
    if (rows.size() < options.runs) {
        std::fprintf(report,
                     "incomplete           %zu of %u experiments have no row (other shards, or --resume)\n",
                     options.runs - rows.size(), options.runs);
    }
    // Each class's part of the space in bit-us, exact as its share; with an upset rate, the faults of the
    // class per hour: rate x mask bits x share (the window standing for the run's time).
    const double window_us = options.window_to_us - options.window_from_us;
    const double per_hour = window_us > 0 ? options.upset_rate * total / window_us : 0.0;
    std::fprintf(report, "\n%-20s %12s %14s", "class", "share", "bit-us");
    if (options.upset_rate > 0) {
        std::fprintf(report, " %14s (at %.6g upsets per bit and hour)", "per hour", options.upset_rate);
    }
    std::fprintf(report, "\n");
    for (unsigned o = 0; o < OUTCOMES; ++o) {
        std::fprintf(report, "%-20s %11.4f%% %14.0f", OUTCOME_NAMES[o], percent(share[o]), share[o]);
        if (options.upset_rate > 0) {
            std::fprintf(report, " %14.6g", total > 0 ? per_hour * share[o] / total : 0.0);
        }
        std::fprintf(report, "\n");
    }
    std::fprintf(report, "\n%-32s", "field (share of the fault space)");
    for (const char* name : OUTCOME_NAMES) {
        std::fprintf(report, " %10.10s", name);
    }
    std::fprintf(report, "\n");
    std::vector<ChartBar> bars;
    for (const std::string& field : shares.order) {
        std::fprintf(report, "%-32s", field.c_str());
        ChartBar bar{field, {}, ""};
        double field_total = 0.0;
        for (unsigned o = 0; o < OUTCOMES; ++o) {
            std::fprintf(report, " %9.4f%%", percent(shares.amounts[field][o]));
            bar.amounts[o] = percent(shares.amounts[field][o]);
            field_total += bar.amounts[o];
        }
        std::fprintf(report, "\n");
        char note[32];
        std::snprintf(note, sizeof note, "%.2f%% of the space", field_total);
        bar.note = note;
        bars.push_back(bar);
    }
    char title[160];
    std::snprintf(title, sizeof title,
                  "Share of the fault space of single-bit %s faults in %s's %s, by field",
                  fault_effect_name(options.effect), CLUSTER_NODES[options.node].name,
                  fault_target_name(options.target));
    return write_class_chart(options, bars, title, "%", report, why);
}
