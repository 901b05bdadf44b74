#include "cli/campaign_fault.h"

#include "cli/campaign_csv.h"
#include "kernel/input_file.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace {

constexpr const char* ANY = "any";
constexpr const char* RANGE_MARK = "..";
constexpr char CHOICE_MARK = '|';

/// The keys that say when a fault happens: without any of them, it happens at the experiment's moment.
constexpr FaultKey TRIGGER_KEYS[] = {FaultKey::AT_US,    FaultKey::CYCLE,         FaultKey::SLOT,
                                     FaultKey::ON_STATE, FaultKey::ON_MEMBERSHIP, FaultKey::ON_FRAME};

bool is_key(const std::string& name, FaultKey key) {
    return name == fault_key_name(key);
}

bool is_trigger_key(const std::string& name) {
    for (FaultKey key : TRIGGER_KEYS) {
        if (is_key(name, key)) {
            return true;
        }
    }
    return false;
}

bool whole_number(std::string_view text, int64_t* value) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, *value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end;
}

bool real_number(std::string_view text, double* value) {
    const char* end = text.data() + text.size();
    const auto result = std::from_chars(text.data(), end, *value);
    return !text.empty() && result.ec == std::errc() && result.ptr == end && std::isfinite(*value);
}

/// A value's text for a word of the text form.
std::string number_text(double value, bool whole) {
    return whole ? std::to_string(static_cast<int64_t>(value)) : exact_number(value);
}

/// The choices `any` stands for with `key`; false for a key that takes no `any` (at_us is a range instead).
bool any_choices(const std::string& key, std::vector<std::string>* choices) {
    if (is_key(key, FaultKey::NODE)) {
        for (const NodeNames& node : CLUSTER_NODES) {
            choices->push_back(node.name);
        }
        return true;
    }
    if (is_key(key, FaultKey::CHANNEL)) {
        *choices = {"A", "B"};
        return true;
    }
    return false;
}

bool refuse(std::string* why, const std::string& key, const std::string& value, const std::string& what) {
    *why = "--fault: " + printable(key) + "=" + printable(value) + ": " + what;
    return false;
}

/// Reads one open or fixed value.
bool read_value(const std::string& key, const std::string& text, double from_us, double to_us,
                FaultTemplateValue* value, std::string* why) {
    value->key = key;
    if (text == ANY) {
        if (is_key(key, FaultKey::AT_US)) {
            value->range = true;
            value->low = from_us;
            value->high = to_us;
            return true;
        }
        return any_choices(key, &value->choices) ||
               refuse(why, key, text, "'any' stands for node, channel and at_us only; give A|B or LOW..HIGH");
    }
    if (const size_t mark = text.find(RANGE_MARK); mark != std::string::npos) {
        const std::string low = text.substr(0, mark);
        const std::string high = text.substr(mark + std::char_traits<char>::length(RANGE_MARK));
        int64_t low_whole = 0;
        int64_t high_whole = 0;
        value->range = true;
        value->whole = whole_number(low, &low_whole) && whole_number(high, &high_whole);
        if (!real_number(low, &value->low) || !real_number(high, &value->high) || value->low > value->high) {
            return refuse(why, key, text, "a range is LOW..HIGH, two numbers with LOW <= HIGH");
        }
        return true;
    }
    for (size_t start = 0;;) {
        const size_t end = text.find(CHOICE_MARK, start);
        value->choices.push_back(text.substr(start, end - start));
        if (value->choices.back().empty()) {
            return refuse(why, key, text, "an empty choice");
        }
        if (end == std::string::npos) {
            return true;
        }
        start = end + 1;
    }
}

/// The words of the text with every value at its first choice or its range's low end, `key_index`'s at
/// `alternative` instead.
FaultWords words_with(const FaultTemplate& fault, size_t key_index, const std::string& alternative) {
    FaultWords words;
    words.kind = fault.kind;
    for (size_t i = 0; i < fault.values.size(); ++i) {
        const FaultTemplateValue& v = fault.values[i];
        words.values.emplace_back(v.key, i == key_index ? alternative
                                         : v.range      ? number_text(v.low, v.whole)
                                                        : v.choices.front());
    }
    return words;
}

/// Every choice and both ends of every range make a fault of the kind.
bool check_alternatives(const FaultTemplate& fault, double from_us, std::string* why) {
    FaultTemplate checked = fault;
    if (checked.at_moment) {
        checked.values.push_back({fault_key_name(FaultKey::AT_US), {exact_number(from_us)}});
    }
    FaultSpec made;
    std::string reason;
    if (!fault_from_words(words_with(checked, checked.values.size(), ""), &made, &reason)) {
        *why = "--fault: " + reason; // with every value at its first: no one value is to blame
        return false;
    }
    for (size_t i = 0; i < checked.values.size(); ++i) {
        const FaultTemplateValue& v = checked.values[i];
        std::vector<std::string> alternatives = v.choices;
        if (v.range) {
            alternatives = {number_text(v.low, v.whole), number_text(v.high, v.whole)};
        }
        for (const std::string& alternative : alternatives) {
            if (!fault_from_words(words_with(checked, i, alternative), &made, &reason)) {
                *why = "--fault: with " + printable(v.key) + "=" + printable(alternative) + ": " + reason;
                return false;
            }
        }
    }
    return true;
}

} // namespace

bool parse_fault_template(std::string_view text, double from_us, double to_us, double horizon_us,
                          FaultTemplate* fault, std::string* why) {
    *fault = FaultTemplate{};
    if (text.find(',') != std::string_view::npos) {
        *why = "--fault: a campaign's fault holds no comma (write node sets M1+O2)";
        return false;
    }
    FaultWords words;
    std::string reason;
    if (!split_fault_words(text, &words, &reason)) {
        *why = "--fault: " + reason;
        return false;
    }
    fault->kind = words.kind;
    fault->text = words.kind;
    bool triggered = false;
    for (const auto& [key, value] : words.values) {
        if (is_key(key, FaultKey::CAPTION)) {
            return refuse(why, key, value, "a campaign's fault takes no caption");
        }
        if (value.find_first_of(" \t\"") != std::string::npos) {
            return refuse(why, key, value, "a campaign's fault holds no quoted values");
        }
        FaultTemplateValue read;
        if (!read_value(key, value, from_us, to_us, &read, why)) {
            return false;
        }
        if (is_key(key, FaultKey::AT_US)) {
            fault->timed = true;
            bool in_run = !read.range || (read.low >= 0.0 && read.high <= horizon_us);
            for (const std::string& choice : read.choices) {
                double time = 0.0;
                in_run = in_run && real_number(choice, &time) && time >= 0.0 && time <= horizon_us;
            }
            if (!in_run) {
                return refuse(why, key, value,
                              "at_us takes times from 0 to the horizon, a range of them or any");
            }
        }
        triggered = triggered || is_trigger_key(key);
        fault->values.push_back(std::move(read));
        fault->text += " " + key + "=" + value;
    }
    fault->at_moment = !triggered;
    return check_alternatives(*fault, from_us, why);
}

bool draw_fault(const FaultTemplate& fault, double moment_us, std::mt19937* random, DrawnFault* drawn,
                std::string* why) {
    FaultWords words;
    words.kind = fault.kind;
    drawn->added_us = moment_us;
    for (const FaultTemplateValue& v : fault.values) {
        std::string value;
        double time = 0.0;
        if (v.range && v.whole) {
            std::uniform_int_distribution<int64_t> pick(static_cast<int64_t>(v.low),
                                                        static_cast<int64_t>(v.high));
            time = static_cast<double>(pick(*random));
            value = std::to_string(static_cast<int64_t>(time));
        } else if (v.range) {
            time = std::uniform_real_distribution<double>(v.low, v.high)(*random);
            value = exact_number(time);
        } else {
            std::uniform_int_distribution<size_t> pick(0, v.choices.size() - 1);
            value = v.choices.size() == 1 ? v.choices.front() : v.choices[pick(*random)];
            (void)real_number(value, &time);
        }
        if (is_key(v.key, FaultKey::AT_US)) {
            drawn->added_us = time;
        }
        words.values.emplace_back(v.key, value);
    }
    if (fault.at_moment) {
        words.values.emplace_back(fault_key_name(FaultKey::AT_US), exact_number(moment_us));
    }
    std::string reason;
    if (!fault_from_words(words, &drawn->fault, &reason)) {
        *why = "--fault: the values drawn together make no fault: " + reason;
        return false;
    }
    return true;
}

std::vector<std::string> split_faults(std::string_view text) {
    std::vector<std::string> parts;
    for (size_t start = 0;;) {
        const size_t end = text.find(FAULT_SEPARATOR, start);
        std::string_view part = text.substr(start, end == std::string_view::npos ? end : end - start);
        while (!part.empty() && (part.front() == ' ' || part.front() == '\t')) {
            part.remove_prefix(1);
        }
        while (!part.empty() && (part.back() == ' ' || part.back() == '\t')) {
            part.remove_suffix(1);
        }
        parts.emplace_back(part);
        if (end == std::string_view::npos) {
            return parts;
        }
        start = end + 1;
    }
}

std::string join_faults(const std::vector<std::string>& texts) {
    std::string joined;
    for (const std::string& text : texts) {
        joined += (joined.empty() ? "" : std::string(1, FAULT_SEPARATOR) + " ") + text;
    }
    return joined;
}

bool parse_fault_templates(std::string_view text, double from_us, double to_us, double horizon_us,
                           std::vector<FaultTemplate>* faults, std::string* why) {
    faults->clear();
    const std::vector<std::string> parts = split_faults(text);
    for (size_t i = 0; i < parts.size(); ++i) {
        FaultTemplate fault;
        if (!parse_fault_template(parts[i], from_us, to_us, horizon_us, &fault, why)) {
            if (parts.size() > 1) {
                *why = "fault " + std::to_string(i + 1) + " of " + std::to_string(parts.size()) + ": " + *why;
            }
            return false;
        }
        faults->push_back(std::move(fault));
    }
    return true;
}

std::string templates_text(const std::vector<FaultTemplate>& faults) {
    std::vector<std::string> texts;
    for (const FaultTemplate& fault : faults) {
        texts.push_back(fault.text);
    }
    return join_faults(texts);
}

std::string fault_group(const std::string& faults_text) {
    const std::vector<std::string> parts = split_faults(faults_text);
    if (parts.size() > 1) {
        std::string groups;
        for (const std::string& part : parts) {
            groups += (groups.empty() ? "" : " + ") + fault_group(part);
        }
        return groups;
    }
    const std::string& fault_text = faults_text;
    FaultSpec fault;
    std::string why;
    if (!parse_fault(fault_text, &fault, &why)) {
        return fault_text;
    }
    std::string group = fault_kind_name(fault.kind);
    if (fault.nodes != 0) {
        group += " " + node_set_text(fault.nodes);
    }
    if (fault.kind == FaultKind::ASYMMETRIC && fault.asymmetric_lose) {
        group += " lose";
    }
    if (is_channel_kind(fault.kind) || fault.kind == FaultKind::BABBLING) {
        static constexpr const char* CHANNELS[] = {"", "A", "B", "A+B"};
        group += std::string(" ") + CHANNELS[fault.channels & CHANNEL_SET_BOTH];
    }
    return group;
}
