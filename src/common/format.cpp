#include "common/format.h"

#include <cmath>
#include <cstdio>

namespace vantorel::format {

namespace {
std::string printed(const char* pattern, double value) {
    // "-0" and "-0.0" read as a sign error to the producer.
    if (value == 0) value = 0;
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, pattern, value);
    return buffer;
}
}  // namespace

std::string oneDecimal(double value) { return printed("%.1f", value); }

std::string number(double value) {
    if (std::isfinite(value) && value == std::trunc(value)) return printed("%.0f", value);
    return printed("%.1f", value);
}

}  // namespace vantorel::format
