// Numbers on pelorin-sim's command line: every numeric option of the runner and of its subcommands is added
// through these, so each value is checked the same way and a refusal reads as a person would write it:
//
//     --cycles must be a positive whole number (at most 4294967295)
//     --inject-rate must be a number of faults per second from 0 to 1000000
//     --window-us must be FROM:TO, two times in microseconds, 0 or more
//
// A whole number is decimal digits only; any other number is what strtod reads in full and must be finite,
// so "nan", "inf" and "1e999" are refused like any text that is not a number. A refusal is a usage error.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <limits>
#include <string>

/// The values an option accepts. `what` completes the refusal "<option> must be <what>".
struct NumberRule {
    double least;
    double most;
    bool whole; // decimal digits only
    const char* what;
};

/// Common rules.
constexpr double LARGEST_UINT32 = std::numeric_limits<uint32_t>::max();
constexpr NumberRule NON_NEGATIVE_TIME_US = {0.0, std::numeric_limits<double>::max(), false,
                                             "a time in microseconds, 0 or more"};
constexpr NumberRule POSITIVE_TIME_US = {std::numeric_limits<double>::min(),
                                         std::numeric_limits<double>::max(), false,
                                         "a time in microseconds above 0"};
constexpr NumberRule WHOLE_NUMBER = {0.0, LARGEST_UINT32, true, "a whole number (at most 4294967295)"};
constexpr NumberRule POSITIVE_WHOLE_NUMBER = {1.0, LARGEST_UINT32, true,
                                              "a positive whole number (at most 4294967295)"};

/// Reads `text` by `rule`; false when it is not such a number.
bool parse_number(const std::string& text, const NumberRule& rule, double* value);

/// An option taking one number (FLOAT or UINT in the help); `value` keeps its default when it is not given.
CLI::Option* add_number_option(CLI::App* app, const std::string& name, double* value, const NumberRule& rule,
                               const std::string& description);
CLI::Option* add_number_option(CLI::App* app, const std::string& name, uint32_t* value,
                               const NumberRule& rule, const std::string& description);
/// An option taking two numbers joined by `separator`, each by `rule` (whose `what` describes the pair);
/// `shape` names the two in the help ("FROM:TO", "I/N").
CLI::Option* add_number_pair_option(CLI::App* app, const std::string& name, char separator,
                                    const std::string& shape, double* first, double* second,
                                    const NumberRule& rule, const std::string& description);
CLI::Option* add_number_pair_option(CLI::App* app, const std::string& name, char separator,
                                    const std::string& shape, uint32_t* first, uint32_t* second,
                                    const NumberRule& rule, const std::string& description);
