// A scenario: a titled set of described faults (host/fault_spec.h) that a run or a lesson plays, read from a
// TOML file:
//
//   title = "A babbling idiot and its guardian"
//   description = "O1's controller sends outside its slot; its bus guardian contains it."
//   stop_on_effect = true        # optional
//   stop_at_us = 300000          # optional
//
//   [[fault]]
//   kind = "babbling"
//   node = "O1"
//   at_us = 200000
//   duration_us = 5000
//   caption = "O1 babbles: its guardian refuses every frame outside its window."
//
// The top level takes title (required, a text that is not empty), description (a text), stop_on_effect
// (true or false), stop_at_us (a time in microseconds above 0) and the [[fault]] tables, in the order the
// faults are added (none is a scenario too: a fault-free run). Each [[fault]] table has a kind and the keys
// of the fault's text form with the same values: a text is taken as written, an integer as its decimal
// digits (one written in hexadecimal, 0xf0, as 0xf0, so that `mask = 0xf0` means what `mask=0xf0` does), a
// float as the shortest text that reads back the same. The fault is then built by fault_from_words, so a
// scenario and pelorin-sim's --fault are checked alike and refused alike; a caption is kept with its fault.
//
// Every refusal is one line, "FILE:LINE: what to fix", at the line of the key or table at fault (line 1 for
// a missing title): a file that is not TOML (with the TOML parser's description), a key the top level or a
// fault does not take, a value of the wrong type (a boolean, an array, a table or a date where a fault wants
// a number or a text), a fault without a kind, and every refusal of the fault's own words. Text quoted from
// the file is written printably. The file is read as every input file is (kernel/input_file.h): a regular
// file of at most SCENARIO_FILE_MAX_BYTES.
#pragma once

#include "host/fault_spec.h"

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

/// A lesson is a few kilobytes and a generated scenario of a few thousand faults with their captions still
/// fits (about 250 bytes a fault); the parsed document takes several times the text's size in memory.
constexpr size_t SCENARIO_FILE_MAX_BYTES = size_t{1} << 20;

struct Scenario {
    std::string title;
    std::string description; // "" when the file has none
    /// In the order of the file's [[fault]] tables, each with its caption ("" when none).
    std::vector<FaultSpec> faults;
    /// Where a lesson stops: at the end of the first slot with an effect (a node leaves APPLICATION, a
    /// membership vector changes, a node freezes, a guardian fails) once the lesson's first fault has
    /// fired (the start-up changes memberships too), and/or at a simulated time. A headless run ignores
    /// both.
    bool stop_on_effect = false;
    std::optional<double> stop_at_us;
};

/// Reads and checks the scenario file at `path`. False with the refusal (see the file comment), leaving
/// `scenario` as it was.
bool read_scenario(const std::string& path, Scenario* scenario, std::string* why);
/// The same for a scenario's text, with `name` as the file's name in refusals.
bool parse_scenario(std::string_view text, const std::string& name, Scenario* scenario, std::string* why);
