#include "common/json.h"

#include <cmath>
#include <limits>

namespace vantorel::json {

std::optional<double> asDouble(const Json& value) {
    if (!value.is_number()) return std::nullopt;
    return value.get<double>();
}

std::optional<long long> asInteger(const Json& value) {
    if (value.is_number_integer()) {
        if (value.is_number_unsigned() && value.get<unsigned long long>() >
                                              static_cast<unsigned long long>(std::numeric_limits<long long>::max())) {
            return std::nullopt;
        }
        return value.get<long long>();
    }
    if (value.is_number_float()) {
        double d = value.get<double>();
        // 2^63 is exactly representable; anything at or beyond it would overflow.
        if (!std::isfinite(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0) return std::nullopt;
        return static_cast<long long>(std::trunc(d));
    }
    return std::nullopt;
}

std::optional<bool> asFlag(const Json& value) {
    if (!value.is_boolean()) return std::nullopt;
    return value.get<bool>();
}

std::optional<std::string> asText(const Json& value) {
    if (!value.is_string()) return std::nullopt;
    return value.get<std::string>();
}

const Json* member(const Json& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    if (it == object.end()) return nullptr;
    return &*it;
}

std::optional<double> number(const Json& object, std::string_view key) {
    const Json* v = member(object, key);
    return v ? asDouble(*v) : std::nullopt;
}

double number(const Json& object, std::string_view key, double fallback) {
    return number(object, key).value_or(fallback);
}

std::optional<long long> integer(const Json& object, std::string_view key) {
    const Json* v = member(object, key);
    return v ? asInteger(*v) : std::nullopt;
}

long long integer(const Json& object, std::string_view key, long long fallback) {
    return integer(object, key).value_or(fallback);
}

std::optional<bool> flag(const Json& object, std::string_view key) {
    const Json* v = member(object, key);
    return v ? asFlag(*v) : std::nullopt;
}

bool flag(const Json& object, std::string_view key, bool fallback) { return flag(object, key).value_or(fallback); }

std::optional<std::string> text(const Json& object, std::string_view key) {
    const Json* v = member(object, key);
    return v ? asText(*v) : std::nullopt;
}

std::string text(const Json& object, std::string_view key, std::string_view fallback) {
    auto found = text(object, key);
    return found ? *found : std::string(fallback);
}

const Json* object(const Json& container, std::string_view key) {
    const Json* v = member(container, key);
    return (v && v->is_object()) ? v : nullptr;
}

std::vector<const Json*> objects(const Json& container, std::string_view key) {
    std::vector<const Json*> out;
    const Json* v = member(container, key);
    if (!v || !v->is_array()) return out;
    for (const auto& element : *v) {
        if (element.is_object()) out.push_back(&element);
    }
    return out;
}

std::vector<std::string> texts(const Json& container, std::string_view key) {
    std::vector<std::string> out;
    const Json* v = member(container, key);
    if (!v || !v->is_array()) return out;
    for (const auto& element : *v) {
        if (element.is_string()) out.push_back(element.get<std::string>());
    }
    return out;
}

// nlohmann::json already writes NaN and infinities as null; the replace
// handler keeps a stray invalid byte from a foreign file from aborting a write.
std::string compact(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

std::string pretty(const Json& value) { return value.dump(2, ' ', false, Json::error_handler_t::replace); }

bool nestingWithin(std::string_view text, std::size_t limit) {
    std::size_t depth = 0;
    bool inString = false;
    bool escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if ((c == ']' || c == '}') && depth > 0) {
            --depth;
        }
    }
    return true;
}

std::optional<Json> parse(std::string_view text) {
    if (!nestingWithin(text)) return std::nullopt;
    Json parsed = Json::parse(text.begin(), text.end(), nullptr, false);
    if (parsed.is_discarded()) return std::nullopt;
    return parsed;
}

}  // namespace vantorel::json
