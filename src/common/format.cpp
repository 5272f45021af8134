#include "common/format.h"

#include <charconv>
#include <cmath>

namespace vantorel::format {

namespace {
// std::to_chars never reads the process locale: under a French LC_NUMERIC the
// printf family would write "124,5" into texts that must say "124.5".
std::string fixed(double value, int decimals) {
    // "-0" and "-0.0" read as a sign error to the producer.
    if (value == 0) value = 0;
    char buffer[400];
    auto [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (error != std::errc()) return {};
    std::string out(buffer, end);
    // Rounding a small negative value ("-0.04" → "-0.0") must not show a sign either.
    if (out.find_first_not_of("-0.") == std::string::npos && out.front() == '-') out.erase(0, 1);
    return out;
}
}  // namespace

std::string oneDecimal(double value) { return fixed(value, 1); }

std::string number(double value) {
    if (std::isfinite(value) && value == std::trunc(value)) return fixed(value, 0);
    return fixed(value, 1);
}

std::optional<double> parseNumber(std::string_view text) {
    double value = 0;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    if (first != last && *first == '+') {
        ++first;
        if (first != last && *first == '-') return std::nullopt;
    }
    auto [end, error] = std::from_chars(first, last, value);
    if (error != std::errc() || end != last || first == last) return std::nullopt;
    return value;
}

}  // namespace vantorel::format
