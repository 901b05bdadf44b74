#include "ui/display_format.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace {

constexpr StateDisplay UNKNOWN_STATE = {"?", RGB_GREY};

constexpr StateDisplay PROTOCOL_STATES[] = {
    {"?", RGB_GREY},           // 0
    {"Init", 0xFF0000},        // 1
    {"Listen", 0xFFB000},      // 2
    {"Cold Start", 0xFFFF00},  // 3
    {"Startup", 0x00FF00},     // 4
    {"Application", 0x00FF00}, // 5
    {"Ready", 0x40C0FF},       // 6
    {"Passive", 0xFFFFFF},     // 7
    {"Await", 0xC0C0C0},       // 8
    {"Self Test", 0xC0C0C0},   // 9
    {"Freeze", 0xFF0000},      // 10
    {"?", RGB_GREY},           // 11
    {"Download", 0xC0C0C0},    // 12
};

constexpr StateDisplay BUS_GUARDIAN_STATES[] = {
    {"Initialize", 0xC0C0C0},   // 0
    {"Configure", 0xC0C0C0},    // 1
    {"Arm", 0x40C0FF},          // 2
    {"Start Timer", 0xFFFF00},  // 3
    {"Enable", 0x00FF00},       // 4
    {"Disable", 0xFFB000},      // 5
    {"Node Failure", 0xFF0000}, // 6
};

constexpr int64_t US_PER_SECOND = 1000000;
constexpr int64_t US_PER_MINUTE = 60 * US_PER_SECOND;
constexpr int64_t US_PER_HOUR = 60 * US_PER_MINUTE;
constexpr int FIXED_DECIMALS = 6;
constexpr int FIXED_PRECISION = 9;
constexpr double TRACK_SCALE = 10.0;

std::string printf_string(const char* format, int decimals, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, decimals, value);
    return text;
}

const char* non_finite_text(double value) {
    return std::isnan(value) ? "NAN" : value > 0 ? "INF" : "-INF";
}

} // namespace

StateDisplay protocol_state_display(unsigned state) {
    return state < std::size(PROTOCOL_STATES) ? PROTOCOL_STATES[state] : UNKNOWN_STATE;
}

StateDisplay bus_guardian_display(unsigned state) {
    return state < std::size(BUS_GUARDIAN_STATES) ? BUS_GUARDIAN_STATES[state] : UNKNOWN_STATE;
}

std::string format_sim_time(double time_us) {
    // Whole microseconds, so the seconds never print as 60.000000 and the carry reaches the minutes.
    const int64_t total =
        std::isfinite(time_us) && time_us > 0 && time_us < 9.0e18 ? std::llround(time_us) : 0;
    const int64_t hours = total / US_PER_HOUR;
    const int64_t minutes = total % US_PER_HOUR / US_PER_MINUTE;
    const int64_t micros = total % US_PER_MINUTE;
    char text[64];
    std::snprintf(text, sizeof text, " %lld:%02lld:%02lld.%06lld", static_cast<long long>(hours),
                  static_cast<long long>(minutes), static_cast<long long>(micros / US_PER_SECOND),
                  static_cast<long long>(micros % US_PER_SECOND));
    return text;
}

double speed_percent(double sim_elapsed_us, double wall_elapsed_s) {
    return sim_elapsed_us * 1e-6 / wall_elapsed_s * 100.0;
}

std::string format_speed(double percent) {
    const int decimals = percent > 10 ? 0 : percent > 1 ? 1 : percent > 0.1 ? 2 : 3;
    return " " + printf_string("%.*f", decimals, percent) + "%";
}

std::string format_general(double value) {
    if (!std::isfinite(value)) {
        return non_finite_text(value);
    }
    return printf_string("%.*G", 15, value);
}

std::string format_fixed6(double value) {
    if (!std::isfinite(value)) {
        return non_finite_text(value);
    }
    const int integer_digits =
        value == 0 ? 1 : static_cast<int>(std::floor(std::log10(std::fabs(value)))) + 1;
    if (integer_digits > FIXED_PRECISION) {
        return printf_string("%.*E", FIXED_PRECISION - 1, value);
    }
    // Round to the significant digits first; the decimals beyond them show as zeros.
    int decimals = FIXED_PRECISION - integer_digits;
    decimals = decimals > FIXED_DECIMALS ? FIXED_DECIMALS : decimals < 0 ? 0 : decimals;
    std::string text = printf_string("%.*f", decimals, value);
    if (decimals == 0) {
        text += ".";
    }
    text.append(static_cast<size_t>(FIXED_DECIMALS - decimals), '0');
    return text;
}

std::string format_node_data(float value) {
    if (!(std::fabs(value) <= 1.0f)) { // also false for values that are not finite
        return "";
    }
    return printf_string("%.*f", 2, value);
}

int slot_offset_position(double slot_offset) {
    const double scaled = slot_offset * TRACK_SCALE;
    if (!std::isfinite(scaled) || scaled >= static_cast<double>(std::numeric_limits<int>::max()) ||
        scaled <= static_cast<double>(std::numeric_limits<int>::min())) {
        return 0;
    }
    const int position = static_cast<int>(std::trunc(scaled));
    return position < SLOT_BAR_MIN ? SLOT_BAR_MIN : position > SLOT_BAR_MAX ? SLOT_BAR_MAX : position;
}

bool AccessCode::Feed(int key) {
    if (matched_ < code_.size() && key == static_cast<unsigned char>(code_[matched_])) {
        matched_ += 1;
    } else {
        matched_ = 0;
    }
    if (matched_ == code_.size()) {
        matched_ = 0;
        return true;
    }
    return false;
}

CycleLimitStep cycle_limit_step(int64_t left, uint32_t completed) {
    if (left <= 0) {
        return {left, false};
    }
    if (left <= static_cast<int64_t>(completed)) {
        return {0, true};
    }
    return {left - static_cast<int64_t>(completed), false};
}
