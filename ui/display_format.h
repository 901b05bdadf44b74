// How the main window turns snapshot values into texts, colours and positions, and the small state machines
// of its controls (the hidden access code, the cluster-cycle limit). Pure functions without a toolkit, so
// each rule is tested on its own.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

/// A colour as 0xRRGGBB.
using Rgb = uint32_t;

constexpr Rgb RGB_GREY = 0x808080;
constexpr Rgb RGB_SILVER = 0xC0C0C0;
constexpr Rgb RGB_RED = 0xFF0000;
constexpr Rgb RGB_GREEN = 0x00FF00;
constexpr Rgb RGB_CHANNEL = 0x6080C0;
constexpr Rgb RGB_REFUSED = 0xFFC0C0; // an entry field whose text was not taken

/// A caption with its background colour.
struct StateDisplay {
    const char* caption;
    Rgb colour;
};

/// Protocol state 0..12 (others: "?" in grey).
StateDisplay protocol_state_display(unsigned state);
/// Bus guardian state 0..6 (others: "?" in grey).
StateDisplay bus_guardian_display(unsigned state);

/// Simulated time (us) as " h:mm:ss.ssssss": a leading blank, whole hours, two-digit minutes and seconds
/// with six decimals. Rounded to the microsecond first, so 59.9999996 s reads 0:01:00.000000.
std::string format_sim_time(double time_us);

/// Percent of real time from the simulated and the wall-clock time elapsed.
double speed_percent(double sim_elapsed_us, double wall_elapsed_s);
/// " " + the speed with 0 decimals above 10, 1 above 1, 2 above 0.1, else 3, + "%".
std::string format_speed(double percent);

/// General notation with up to 15 significant digits, no trailing zeros ("12.5", "0.1"); "NAN", "INF",
/// "-INF" for values that are not finite.
std::string format_general(double value);
/// Fixed notation with 6 decimals after rounding to 9 significant digits (1234.56789012 shows
/// "1234.567890", 0.5 shows "0.500000"); beyond 9 integer digits scientific notation.
std::string format_fixed6(double value);
/// A node data label: 2 decimals when |value| <= 1, else empty (also for values that are not finite).
std::string format_node_data(float value);

/// Track bar position of a slot offset: trunc(10 * offset), 0 when it cannot be converted (not finite or
/// beyond the integer range), limited to the bar's -40..40.
int slot_offset_position(double slot_offset);
constexpr int SLOT_BAR_MIN = -40;
constexpr int SLOT_BAR_MAX = 40;

/// The hidden access code: counts the keys of the code typed in a row. A key that breaks the sequence
/// starts it over at 0 without being tested as the first key again.
class AccessCode {
  public:
    explicit AccessCode(std::string code) : code_(std::move(code)) {}
    /// Feeds one key (an upper-case letter code); true when it completes the code.
    bool Feed(int key);
    unsigned Matched() const { return matched_; }

  private:
    std::string code_;
    unsigned matched_ = 0;
};

/// One refresh of the cluster-cycle limit: `left` cycles were left, `completed` cycles have passed since
/// the previous refresh. A limit of 0 means none.
struct CycleLimitStep {
    int64_t left; // the new value of the limit field
    bool stop;    // the limit was reached now: stop the simulation
};
CycleLimitStep cycle_limit_step(int64_t left, uint32_t completed);
