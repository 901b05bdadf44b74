#include "cli/option_checks.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

constexpr const char* FLOAT_TYPE = "FLOAT";
constexpr const char* WHOLE_TYPE = "UINT";

bool is_digits(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

[[noreturn]] void refuse(const std::string& name, const std::string& what) {
    throw CLI::ValidationError(name + " must be " + what);
}

template <class T>
void assign(T* target, double value) {
    *target = static_cast<T>(value);
}

template <class T>
CLI::Option* add_one(CLI::App* app, const std::string& name, T* value, const NumberRule& rule,
                     const std::string& description) {
    auto* option = app->add_option(
        name,
        [name, value, rule](const CLI::results_t& results) {
            double number = 0.0;
            if (results.size() != 1 || !parse_number(results[0], rule, &number)) {
                refuse(name, rule.what);
            }
            assign(value, number);
            return true;
        },
        description);
    option->type_name(rule.whole ? WHOLE_TYPE : FLOAT_TYPE);
    if (rule.whole) {
        option->default_str(std::to_string(*value));
    }
    return option;
}

template <class T>
CLI::Option* add_pair(CLI::App* app, const std::string& name, char separator, const std::string& shape,
                      T* first, T* second, const NumberRule& rule, const std::string& description) {
    auto* option = app->add_option(
        name,
        [name, separator, first, second, rule](const CLI::results_t& results) {
            const std::string text = results.size() == 1 ? results[0] : std::string();
            const size_t at = text.find(separator);
            double a = 0.0;
            double b = 0.0;
            if (at == std::string::npos || !parse_number(text.substr(0, at), rule, &a) ||
                !parse_number(text.substr(at + 1), rule, &b)) {
                refuse(name, rule.what);
            }
            assign(first, a);
            assign(second, b);
            return true;
        },
        description);
    option->type_name(shape);
    return option;
}

} // namespace

bool parse_number(const std::string& text, const NumberRule& rule, double* value) {
    double number = 0.0;
    if (rule.whole) {
        if (!is_digits(text)) {
            return false;
        }
        errno = 0;
        const unsigned long long whole = std::strtoull(text.c_str(), nullptr, 10);
        if (errno == ERANGE) {
            return false;
        }
        number = static_cast<double>(whole);
    } else {
        if (text.empty()) {
            return false;
        }
        char* end = nullptr;
        number = std::strtod(text.c_str(), &end);
        if (*end != '\0' || !std::isfinite(number)) {
            return false; // not a number, "nan", "inf", or beyond the doubles ("1e999")
        }
    }
    if (!(number >= rule.least && number <= rule.most)) {
        return false;
    }
    *value = number;
    return true;
}

CLI::Option* add_number_option(CLI::App* app, const std::string& name, double* value, const NumberRule& rule,
                               const std::string& description) {
    return add_one(app, name, value, rule, description);
}

CLI::Option* add_number_option(CLI::App* app, const std::string& name, uint32_t* value,
                               const NumberRule& rule, const std::string& description) {
    return add_one(app, name, value, rule, description);
}

CLI::Option* add_number_pair_option(CLI::App* app, const std::string& name, char separator,
                                    const std::string& shape, double* first, double* second,
                                    const NumberRule& rule, const std::string& description) {
    return add_pair(app, name, separator, shape, first, second, rule, description);
}

CLI::Option* add_number_pair_option(CLI::App* app, const std::string& name, char separator,
                                    const std::string& shape, uint32_t* first, uint32_t* second,
                                    const NumberRule& rule, const std::string& description) {
    return add_pair(app, name, separator, shape, first, second, rule, description);
}
