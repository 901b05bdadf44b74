#include "host/scenario_file.h"

#include "kernel/input_file.h"

// toml++ checks its own assumptions with TOML_ASSERT_ASSUME: an assert in a debug build, an assumption the
// optimiser may rely on in a release build. One of them is wrong in the Debian 12 version (3.3.0): a table
// header such as "[&" breaks it, so a debug build would abort and a clang release build would run on with
// an assumption that does not hold. The parser reports such input as an error by itself, so the checks are
// dropped; the rest of the library is as shipped. Its preprocessor header is included once (pragma once),
// so the definitions below are the ones the library sees.
#include <toml++/impl/preprocessor.h>
#undef TOML_ASSERT
#define TOML_ASSERT(expr) static_assert(true)
#undef TOML_ASSERT_ASSUME
#define TOML_ASSERT_ASSUME(expr) static_assert(true)
#include <toml++/toml.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>

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

/// By Untamed (below).
constexpr const char* UNTAMED[] = {
    "",
    "not TOML, the format of scenario files: a character that is not ASCII outside a text in quotes or a "
    "comment (a text is written in quotes: caption = \"...\")",
    "not TOML, the format of scenario files: a backslash in a text must begin an escape (\\n, \\\", \\u00e9) "
    "or end the line",
    "not TOML, the format of scenario files: a text that is not UTF-8",
};

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

// --- What toml++ 3.3.0 must not be given ---------------------------------------------------------------
//
// Where the parser expects whitespace it classifies a character that is not ASCII through a table with
// holes: for many such characters (é, §, ü, ...) it reaches a branch marked unreachable, which is undefined
// behaviour. It looks there wherever it reads a token, also past a mistake (to find the token's end), so
// which characters it reaches depends on how it splits the text, which no reader outside it can follow
// exactly. The parser is therefore given ASCII only: a character that is not ASCII inside a text is written
// as its \u escape, which means the same character (a literal text, in single quotes, has no escapes and
// becomes the basic text, in double quotes, of the same characters); in a comment it becomes '?', as a
// comment means nothing; outside texts and comments TOML allows none, and it is refused here, as are a
// backslash before one and a text that is not UTF-8.

enum class Untamed : uint8_t { NONE, OUTSIDE_TEXT, AFTER_BACKSLASH, NOT_UTF8 };

constexpr size_t DELIMITER = 3; // """ or '''
constexpr unsigned char FIRST_NOT_ASCII = 0x80;
constexpr char IN_COMMENT = '?';

bool is_ascii(char c) {
    return static_cast<unsigned char>(c) < FIRST_NOT_ASCII;
}

bool is_blank_or_line_end(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

/// The code point of the UTF-8 sequence at text[at] and its length; 0 when there is none.
size_t utf8_sequence(std::string_view text, size_t at, char32_t* code) {
    constexpr char32_t SMALLEST[] = {0, 0, 0x80, 0x800, 0x10000}; // by length: no longer form than needed
    constexpr char32_t LARGEST = 0x10FFFF;
    constexpr char32_t SURROGATES_FROM = 0xD800, SURROGATES_TO = 0xDFFF;
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned lead = byte(at);
    const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 0;
    if (length == 0 || at + length > text.size()) {
        return 0;
    }
    char32_t c = lead & (0x7Fu >> length);
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) {
            return 0;
        }
        c = (c << 6) | (byte(at + i) & 0x3F);
    }
    if (c < SMALLEST[length] || c > LARGEST || (c >= SURROGATES_FROM && c <= SURROGATES_TO)) {
        return 0;
    }
    *code = c;
    return length;
}

/// How many `quote` characters follow one another from text[at].
size_t quote_run(std::string_view text, size_t at, char quote) {
    size_t end = at;
    while (end < text.size() && text[end] == quote) {
        ++end;
    }
    return end - at;
}

/// The UTF-8 sequence at text[at], a character that is not ASCII, appended to `tamed` as its escape;
/// its length, 0 when it is no UTF-8.
size_t append_escape(std::string_view text, size_t at, std::string* tamed) {
    char32_t code = 0;
    const size_t length = utf8_sequence(text, at, &code);
    if (length > 0) {
        constexpr char32_t LARGEST_SHORT = 0xFFFF;
        char escape[16];
        std::snprintf(escape, sizeof escape, code > LARGEST_SHORT ? "\\U%08X" : "\\u%04X",
                      static_cast<unsigned>(code));
        tamed->append(escape);
    }
    return length;
}

/// `text` as toml++ can be given it: the same document in ASCII (above). At the first character it cannot
/// pass on, it says what that is and where (`*at`), and ends the text with a control character in its
/// place, which is no TOML there either: the parser stops there at the latest, and a mistake it finds
/// before is on an earlier line.
Untamed tame_for_toml(std::string_view text, std::string* tamed, size_t* at) {
    enum class In : uint8_t { PLAIN, COMMENT, BASIC, LITERAL, MULTI_BASIC, MULTI_LITERAL };
    In in = In::PLAIN;
    tamed->clear();
    tamed->reserve(text.size());
    size_t i = 0;
    const auto stop = [&](Untamed what) {
        constexpr char NO_TOML = '\x01';
        *at = i;
        tamed->push_back(NO_TOML);
        return what;
    };
    while (i < text.size()) {
        const char c = text[i];
        const bool literal = in == In::LITERAL || in == In::MULTI_LITERAL;
        const bool multi = in == In::MULTI_BASIC || in == In::MULTI_LITERAL;
        switch (in) {
        case In::PLAIN:
            if (!is_ascii(c)) {
                return stop(Untamed::OUTSIDE_TEXT);
            }
            if (c == '#') {
                in = In::COMMENT;
            } else if (c == '"' || c == '\'') {
                // A literal text opens as the basic text it is written as.
                const bool opens_multi = quote_run(text, i, c) >= DELIMITER;
                in = c == '"' ? (opens_multi ? In::MULTI_BASIC : In::BASIC)
                              : (opens_multi ? In::MULTI_LITERAL : In::LITERAL);
                const size_t quotes = opens_multi ? DELIMITER : 1;
                tamed->append(quotes, '"');
                i += quotes;
                continue;
            }
            break;
        case In::COMMENT:
            in = c == '\n' ? In::PLAIN : in;
            tamed->push_back(is_ascii(c) ? c : IN_COMMENT);
            ++i;
            continue;
        case In::BASIC:
        case In::LITERAL:
        case In::MULTI_BASIC:
        case In::MULTI_LITERAL: {
            const char closing = literal ? '\'' : '"';
            if (c == closing) {
                // A run of closing quotes: in a multi-line text up to two before the delimiter are text.
                const size_t run = multi ? quote_run(text, i, c) : 1;
                const bool closes = !multi || run >= DELIMITER;
                const size_t in_text = closes && multi ? run - DELIMITER : closes ? 0 : run;
                tamed->append(in_text, c);
                if (closes) {
                    tamed->append(multi ? DELIMITER : 1, '"');
                    in = In::PLAIN;
                }
                i += run;
                continue;
            }
            if (c == '\n' && !multi) {
                in = In::PLAIN; // a one-line text ends at its line's end, here as for the parser
                break;
            }
            if (literal && (c == '"' || c == '\\')) {
                tamed->push_back('\\'); // in the basic text they are escapes
                break;
            }
            if (!is_ascii(c)) {
                const size_t length = append_escape(text, i, tamed);
                if (length == 0) {
                    return stop(Untamed::NOT_UTF8);
                }
                i += length;
                continue;
            }
            if (c == '\\' && !literal && i + 1 < text.size()) {
                tamed->push_back(text[i++]);
                if (!is_ascii(text[i])) {
                    return stop(Untamed::AFTER_BACKSLASH);
                }
                if (!multi || !is_blank_or_line_end(text[i])) {
                    tamed->push_back(text[i++]); // an escape: \" \\ \n ...
                    continue;
                }
                while (i < text.size() && is_blank_or_line_end(text[i])) {
                    tamed->push_back(text[i++]); // a continuation, whose first character is taken above
                }
                continue;
            }
            break;
        }
        }
        tamed->push_back(c);
        ++i;
    }
    return Untamed::NONE;
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
            return refuse(line_of_key(table, entries, refused_key), reason);
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
    std::string tamed;
    size_t untamed_at = 0;
    const Untamed untamed = tame_for_toml(text, &tamed, &untamed_at);
    const auto untamed_line =
        static_cast<unsigned>(1 + std::count(text.begin(), text.begin() + untamed_at, '\n'));
    // A mistake before a character that cannot be passed on comes first; one on its line is that character.
    const toml::parse_result document = toml::parse(tamed, std::string_view(name));
    if (!document && (untamed == Untamed::NONE || line_of(document.error().source()) < untamed_line)) {
        const toml::parse_error& error = document.error();
        return reader.refuse(line_of(error.source()), NOT_TOML + printable(std::string(error.description())));
    }
    if (untamed != Untamed::NONE) {
        return reader.refuse(untamed_line, UNTAMED[static_cast<unsigned>(untamed)]);
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
