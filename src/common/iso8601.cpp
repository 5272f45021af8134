#include "common/iso8601.h"

#include <cstdio>
#include <ctime>

namespace vantorel::iso8601 {

namespace {

bool digits(std::string_view text, std::size_t at, std::size_t count, int& value) {
    if (at + count > text.size()) return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return false;
        value = value * 10 + (c - '0');
    }
    return true;
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm),
// so parsing does not depend on the process's time zone.
long long daysFromCivil(int year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const long long era = (year >= 0 ? year : year - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(year - era * 400);
    const unsigned doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

}  // namespace

std::string format(Clock::time_point time) {
    auto seconds = std::chrono::floor<std::chrono::seconds>(time);
    std::time_t t = static_cast<std::time_t>(seconds.time_since_epoch().count());
    std::tm parts{};
    gmtime_r(&t, &parts);
    char buffer[80];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return buffer;
}

std::string now() { return format(Clock::now()); }

std::optional<Clock::time_point> parse(std::string_view text) {
    int year, month, day, hour, minute, second;
    if (!digits(text, 0, 4, year) || text.size() < 19 || text[4] != '-' || !digits(text, 5, 2, month) ||
        text[7] != '-' || !digits(text, 8, 2, day) || (text[10] != 'T' && text[10] != 't') ||
        !digits(text, 11, 2, hour) || text[13] != ':' || !digits(text, 14, 2, minute) || text[16] != ':' ||
        !digits(text, 17, 2, second)) {
        return std::nullopt;
    }
    if (hour > 23 || minute > 59 || second > 60) return std::nullopt;
    // "2026-02-30" must not slide into March: only days the month has.
    const std::chrono::year_month_day date{std::chrono::year(year), std::chrono::month(static_cast<unsigned>(month)),
                                           std::chrono::day(static_cast<unsigned>(day))};
    if (!date.ok()) return std::nullopt;
    std::size_t at = 19;
    double fraction = 0;
    if (at < text.size() && text[at] == '.') {
        double scale = 0.1;
        ++at;
        std::size_t start = at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
            fraction += (text[at] - '0') * scale;
            scale /= 10;
            ++at;
        }
        if (at == start) return std::nullopt;
    }
    long long offsetSeconds = 0;
    if (at < text.size() && (text[at] == 'Z' || text[at] == 'z')) {
        ++at;
    } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
        int oh, om;
        if (!digits(text, at + 1, 2, oh) || at + 3 >= text.size() || text[at + 3] != ':' ||
            !digits(text, at + 4, 2, om) || oh > 23 || om > 59) {
            return std::nullopt;
        }
        offsetSeconds = (oh * 3600LL + om * 60LL) * (text[at] == '+' ? 1 : -1);
        at += 6;
    } else {
        return std::nullopt;
    }
    if (at != text.size()) return std::nullopt;
    long long days = daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
    long long total = days * 86400 + hour * 3600LL + minute * 60LL + second - offsetSeconds;
    // The clock counts nanoseconds in 64 bits (years 1678 to 2262); a date
    // it cannot hold is absent rather than wrapped into another century.
    constexpr long long limit = std::chrono::duration_cast<std::chrono::seconds>(Clock::duration::max()).count() - 1;
    if (total > limit || total < -limit) return std::nullopt;
    auto point = Clock::time_point(std::chrono::seconds(total));
    return point + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(fraction));
}

}  // namespace vantorel::iso8601
