// A campaign's fault (--fault): the text form of a described fault (host/fault_spec.h) whose values may be
// left open, each experiment drawing its own fault from it.
//
//     pelorin-sim campaign --fault 'corrupt channel=A|B duration_us=100..2000'
//     pelorin-sim campaign --fault 'crash node=any duration_us=5000'
//
// A value is one of:
//     VALUE        fixed, as the text form takes it
//     A|B|C        one of the choices, each equally likely
//     LOW..HIGH    uniform from LOW to HIGH, both included: whole numbers when both ends are whole numbers,
//                  real numbers otherwise
//     any          node: one of the four nodes; channel: A or B; at_us: uniform in the campaign's window
// Without a trigger (at_us, cycle, slot, on_...), the fault happens at the experiment's moment, drawn
// uniformly in the window as a memory campaign draws its injection times. With at_us, it happens at the time
// drawn for at_us; with another trigger, it is added at the experiment's moment and its trigger counts from
// there (cycle=1 slot=S: slot S of the first cluster cycle that starts after the moment).
//
// Draws. Experiment k's moment and values come from a stream seeded from the campaign seed and k alone,
// drawn in the order the text gives its keys, so any subset of a campaign's experiments (a shard, a resumed
// run) draws the same faults, whatever the engine.
//
// Several faults. A text of faults separated by ';' (`babbling node=O1; guardian-open node=O1`), and a
// scenario file's faults (campaign --scenario FILE: each in its text form, the captions left out), are
// every experiment's faults together: the moment is drawn first, then each fault's values in turn; each
// fault without a trigger happens at the moment, each with at_us at its time.
//
// The text is checked once, before the campaign starts: every choice and both ends of every range must make
// a fault of the kind with the other keys at their first value. A caption (a window's sentence) and a
// comma (write node sets M1+O2) are refused: the text stands in the campaign CSV's campaign line, whose
// cells hold no commas.
#pragma once

#include "host/fault_spec.h"

#include <random>
#include <string>
#include <string_view>
#include <vector>

/// One key of the text with its open or fixed value.
struct FaultTemplateValue {
    std::string key;
    std::vector<std::string> choices; // one: a fixed value (a range's are empty)
    bool range = false;
    bool whole = false; // a range of whole numbers
    double low = 0.0;
    double high = 0.0;
};

struct FaultTemplate {
    std::string text; // the kind and the words as given, one blank apart: what the campaign line records
    std::string kind;
    std::vector<FaultTemplateValue> values;
    bool at_moment = false; // no trigger given: at_us is the experiment's moment
    bool timed = false;     // at_us given: the fault is added at the time drawn for it
};

/// Reads a campaign's fault for a campaign whose window is [from_us, to_us] and which ends at horizon_us
/// (a drawn at_us must lie no later than the horizon). False with a reason naming the word it is about.
bool parse_fault_template(std::string_view text, double from_us, double to_us, double horizon_us,
                          FaultTemplate* fault, std::string* why);

/// An experiment's fault and the simulated time it is added to the run at (right after the last event at
/// or before it).
struct DrawnFault {
    FaultSpec fault;
    double added_us = 0.0;
};
/// Draws a fault from `random`, after the experiment's moment (already drawn from it). False with a reason
/// when the values drawn together make no fault (each was checked with the others at their first value).
bool draw_fault(const FaultTemplate& fault, double moment_us, std::mt19937* random, DrawnFault* drawn,
                std::string* why);

/// Several faults in one experiment (a scenario's): their texts one after the other, each followed by this
/// separator and a blank but the last.
constexpr char FAULT_SEPARATOR = ';';
/// The texts of the faults of `text`, without the blanks around them.
std::vector<std::string> split_faults(std::string_view text);
/// The faults' texts as one text, "A; B".
std::string join_faults(const std::vector<std::string>& texts);
/// Reads every fault of a text of several (parse_fault_template each); false with a reason that says
/// which fault, when there are several.
bool parse_fault_templates(std::string_view text, double from_us, double to_us, double horizon_us,
                           std::vector<FaultTemplate>* faults, std::string* why);
/// The faults' texts as the campaign line records them.
std::string templates_text(const std::vector<FaultTemplate>& faults);

/// What a summary groups a drawn fault's experiments by: its kind and where it strikes ("crash O1",
/// "corrupt A", "babbling O2 A+B"), for several faults each one's, joined by " + "; the text itself when
/// it is no fault.
std::string fault_group(const std::string& faults_text);
