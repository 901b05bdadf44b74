#include "host/scenario_file.h"

#include "kernel/input_file.h"

#include <toml++/toml.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <utility>

namespace {

constexpr std::string_view KIND_KEY = "kind";
constexpr std::string_view FAULT_TABLES = "fault";
/// The latest stop, as the latest time a fault takes.
constexpr double MAX_STOP_AT_US = 1e15;
constexpr int HEX_BASE = 16;

// What the reader refuses, and how it says it.
constexpr const char* NOT_TOML = "not TOML, the format of scenario files: ";
constexpr const char* UNKNOWN_TOP_KEY =
    " is no key of a scenario (it takes title, description, stop_on_effect, stop_at_us and [[fault]] "
    "tables)";
constexpr const char* NO_TITLE = "the scenario has no title: add a line title = \"...\" at the top";
constexpr const char* BAD_TITLE = "title must be a text in quotes that says what the scenario shows";
constexpr const char* BAD_DESCRIPTION = "description must be a text in quotes";
constexpr const char* BAD_STOP_ON_EFFECT = "stop_on_effect must be true or false";
constexpr const char* BAD_STOP_AT_US = "stop_at_us must be a time in microseconds above 0 and at most 1e15";
constexpr const char* BAD_FAULT_LIST =
    "fault must be a list of tables: write each fault as a [[fault]] table";
constexpr const char* NO_KIND =
    "the fault has no kind: add a line kind = \"...\" (memory, stuck, intermittent, corrupt, lose, "
    "asymmetric, blackout, bit-errors, crash, host-crash, host-restart, babbling, guardian-open, sos, "
    "clock)";
constexpr const char* BAD_KIND =
    "kind must be a text in quotes naming the kind of fault, such as \"babbling\"";
constexpr const char* BAD_VALUE = " must be a number or a text in quotes, as in the fault's text form, not ";

using Entry = std::pair<const toml::key*, const toml::node*>;

/// A table's entries in the order of the file (the table keeps them sorted by name), so that the first
/// refusal is about the first key at fault.
std::vector<Entry> in_file_order(const toml::table& table) {
    std::vector<Entry> entries;
    for (const auto& [key, value] : table) {
        entries.emplace_back(&key, &value);
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        const toml::source_position& x = a.first->source().begin;
        const toml::source_position& y = b.first->source().begin;
        return x.line != y.line ? x.line < y.line : x.column < y.column;
    });
    return entries;
}

unsigned line_of(const toml::source_region& region) {
    return std::max<unsigned>(region.begin.line, 1);
}

const char* type_text(toml::node_type type) {
    switch (type) {
    case toml::node_type::boolean:
        return "true or false";
    case toml::node_type::array:
        return "a list";
    case toml::node_type::table:
        return "a table";
    default:
        return "a date or a time";
    }
}

/// A number or a text as the fault's text form writes it; false for any other type.
bool value_text(const toml::node& value, std::string* text) {
    char digits[32];
    if (const toml::value<int64_t>* integer = value.as_integer()) {
        const int64_t v = integer->get();
        const bool hex =
            (integer->flags() & toml::value_flags::format_as_hexadecimal) != toml::value_flags::none;
        const auto result = std::to_chars(digits, digits + sizeof digits, v, hex && v >= 0 ? HEX_BASE : 10);
        *text = (hex && v >= 0 ? "0x" : "") + std::string(digits, result.ptr);
        return true;
    }
    if (const toml::value<double>* number = value.as_floating_point()) {
        const auto result = std::to_chars(digits, digits + sizeof digits, number->get());
        *text = std::string(digits, result.ptr);
        return true;
    }
    if (const toml::value<std::string>* string = value.as_string()) {
        *text = string->get();
        return true;
    }
    return false;
}

struct Reader {
    const std::string& name;
    std::string* why;

    bool refuse(unsigned line, const std::string& text) {
        *why = name + ":" + std::to_string(line) + ": " + text;
        return false;
    }

    /// One [[fault]] table, built from its words by fault_from_words.
    bool fault(const toml::table& table, FaultSpec* fault) {
        const std::vector<Entry> entries = in_file_order(table);
        const auto kind = std::find_if(entries.begin(), entries.end(),
                                       [](const Entry& e) { return e.first->str() == KIND_KEY; });
        if (kind == entries.end()) {
            return refuse(line_of(table.source()), NO_KIND);
        }
        if (!kind->second->is_string()) {
            return refuse(line_of(kind->first->source()), BAD_KIND);
        }
        FaultWords words;
        words.kind = kind->second->as_string()->get();
        for (const Entry& entry : entries) {
            if (entry.first == kind->first) {
                continue;
            }
            const std::string key(entry.first->str());
            std::string text;
            FaultKey known{};
            if (!value_text(*entry.second, &text) && fault_key_by_name(key, &known)) {
                return refuse(line_of(entry.first->source()),
                              key + BAD_VALUE + type_text(entry.second->type()));
            }
            // A key that is no fault's keeps an empty value: fault_from_words refuses it in its turn.
            words.values.emplace_back(key, std::move(text));
        }
        std::string reason;
        std::string refused_key;
        if (!fault_from_words(words, fault, &reason, &refused_key)) {
            return refuse(line_of_key(table, entries, refused_key), printable(reason));
        }
        return true;
    }

    /// The line of the key a refusal is about: the kind's for "", the key written so, or one that names the
    /// same key another way; the table's when the fault lacks the key.
    static unsigned line_of_key(const toml::table& table, const std::vector<Entry>& entries,
                                const std::string& refused_key) {
        const std::string_view wanted = refused_key.empty() ? KIND_KEY : std::string_view(refused_key);
        FaultKey key{};
        const bool known = fault_key_by_name(wanted, &key);
        const Entry* same_key = nullptr;
        for (const Entry& entry : entries) {
            FaultKey other{};
            if (entry.first->str() == wanted) {
                return line_of(entry.first->source());
            }
            if (same_key == nullptr && known && fault_key_by_name(entry.first->str(), &other) &&
                other == key) {
                same_key = &entry;
            }
        }
        return line_of(same_key != nullptr ? same_key->first->source() : table.source());
    }

    bool scenario(const toml::table& root, Scenario* s) {
        bool has_title = false;
        for (const auto& [key, value] : in_file_order(root)) {
            const unsigned line = line_of(key->source());
            const std::string_view k = key->str();
            if (k == "title") {
                const toml::value<std::string>* title = value->as_string();
                if (title == nullptr || title->get().empty()) {
                    return refuse(line, BAD_TITLE);
                }
                s->title = title->get();
                has_title = true;
            } else if (k == "description") {
                if (!value->is_string()) {
                    return refuse(line, BAD_DESCRIPTION);
                }
                s->description = value->as_string()->get();
            } else if (k == "stop_on_effect") {
                if (!value->is_boolean()) {
                    return refuse(line, BAD_STOP_ON_EFFECT);
                }
                s->stop_on_effect = value->as_boolean()->get();
            } else if (k == "stop_at_us") {
                const std::optional<double> at = value->is_number() ? value->value<double>() : std::nullopt;
                if (!at || !std::isfinite(*at) || !(*at > 0.0) || *at > MAX_STOP_AT_US) {
                    return refuse(line, BAD_STOP_AT_US);
                }
                s->stop_at_us = at;
            } else if (k == FAULT_TABLES) {
                const toml::array* list = value->as_array();
                if (list == nullptr || (!list->empty() && !list->is_array_of_tables())) {
                    return refuse(line, BAD_FAULT_LIST);
                }
                for (const toml::node& table : *list) {
                    FaultSpec f;
                    if (!fault(*table.as_table(), &f)) {
                        return false;
                    }
                    s->faults.push_back(std::move(f));
                }
            } else {
                return refuse(line, "'" + printable(std::string(k)) + "'" + UNKNOWN_TOP_KEY);
            }
        }
        return has_title || refuse(1, NO_TITLE);
    }
};

} // namespace

bool parse_scenario(std::string_view text, const std::string& name, Scenario* scenario, std::string* why) {
    Reader reader{name, why};
    const toml::parse_result document = toml::parse(text, std::string_view(name));
    if (!document) {
        const toml::parse_error& error = document.error();
        return reader.refuse(line_of(error.source()), NOT_TOML + printable(std::string(error.description())));
    }
    Scenario s;
    if (!reader.scenario(document.table(), &s)) {
        return false;
    }
    *scenario = std::move(s);
    return true;
}

bool read_scenario(const std::string& path, Scenario* scenario, std::string* why) {
    std::string text;
    std::string reason;
    if (!read_input_file(path, SCENARIO_FILE_MAX_BYTES, &text, &reason)) {
        *why = path + ": " + reason;
        return false;
    }
    return parse_scenario(text, path, scenario, why);
}
