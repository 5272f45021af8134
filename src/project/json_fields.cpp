#include "project/json_fields.h"
#include "project/store_writes.h"

#include "common/files.h"


namespace vantorel::project {

namespace {

[[noreturn]] void fail(std::string_view key, const char* what) {
    throw DecodeFailure(std::string(key) + ": " + what);
}

// The nanosecond clock holds 1678-09-21 to 2262-04-11; parsing a date outside
// that span would overflow it.
constexpr int kEarliestYear = 1678;
constexpr int kLatestYear = 2261;

}  // namespace

std::string formatDate(Clock::time_point date) { return iso8601::format(date); }

std::optional<Clock::time_point> parseDate(std::string_view text) {
    if (text.size() < 4) return std::nullopt;
    int year = 0;
    for (std::size_t i = 0; i < 4; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        year = year * 10 + (text[i] - '0');
    }
    if (year < kEarliestYear) {
        // Still has to be a well-formed date: check it with a year that fits.
        std::string probe = "1970" + std::string(text.substr(4));
        if (!iso8601::parse(probe)) return std::nullopt;
        return kDistantPast;
    }
    if (year > kLatestYear) return std::nullopt;
    return iso8601::parse(text);
}

Clock::time_point wholeSeconds(Clock::time_point date) { return std::chrono::floor<std::chrono::seconds>(date); }

const Json& requireMember(const Json& object, std::string_view key) {
    const Json* value = json::member(object, key);
    if (value == nullptr) fail(key, "missing");
    return *value;
}

std::string requireText(const Json& object, std::string_view key) {
    auto value = json::asText(requireMember(object, key));
    if (!value) fail(key, "not a string");
    return *value;
}

double requireNumber(const Json& object, std::string_view key) {
    auto value = json::asDouble(requireMember(object, key));
    if (!value) fail(key, "not a number");
    return *value;
}

long long requireInteger(const Json& object, std::string_view key) {
    auto value = json::asInteger(requireMember(object, key));
    if (!value) fail(key, "not an integer");
    return *value;
}

bool requireFlag(const Json& object, std::string_view key) {
    auto value = json::asFlag(requireMember(object, key));
    if (!value) fail(key, "not a boolean");
    return *value;
}

Clock::time_point requireDate(const Json& object, std::string_view key) {
    auto date = parseDate(requireText(object, key));
    if (!date) fail(key, "not an ISO 8601 date");
    return *date;
}

const Json& requireObject(const Json& object, std::string_view key) {
    const Json& value = requireMember(object, key);
    if (!value.is_object()) fail(key, "not an object");
    return value;
}

const Json& requireArray(const Json& object, std::string_view key) {
    const Json& value = requireMember(object, key);
    if (!value.is_array()) fail(key, "not an array");
    return value;
}

std::vector<std::string> requireTexts(const Json& object, std::string_view key) {
    std::vector<std::string> out;
    for (const Json& element : requireArray(object, key)) {
        if (!element.is_string()) fail(key, "holds a value that is not a string");
        out.push_back(element.get<std::string>());
    }
    return out;
}

namespace {
const Json* present(const Json& object, std::string_view key) {
    const Json* value = json::member(object, key);
    if (value == nullptr || value->is_null()) return nullptr;
    return value;
}
}  // namespace

std::optional<double> optionalNumber(const Json& object, std::string_view key) {
    const Json* value = present(object, key);
    if (value == nullptr) return std::nullopt;
    auto number = json::asDouble(*value);
    if (!number) fail(key, "not a number");
    return number;
}

std::optional<long long> optionalInteger(const Json& object, std::string_view key) {
    const Json* value = present(object, key);
    if (value == nullptr) return std::nullopt;
    auto number = json::asInteger(*value);
    if (!number) fail(key, "not an integer");
    return number;
}

std::optional<std::string> optionalText(const Json& object, std::string_view key) {
    const Json* value = present(object, key);
    if (value == nullptr) return std::nullopt;
    auto text = json::asText(*value);
    if (!text) fail(key, "not a string");
    return text;
}

std::optional<Clock::time_point> optionalDate(const Json& object, std::string_view key) {
    auto text = optionalText(object, key);
    if (!text) return std::nullopt;
    auto date = parseDate(*text);
    if (!date) fail(key, "not an ISO 8601 date");
    return date;
}

void writeJsonFile(const std::filesystem::path& path, const Json& value) {
    files::writeAtomically(path, json::pretty(value) + "\n");
}

std::optional<Json> readJsonFile(const std::filesystem::path& path) {
    files::removeStaleTemporaries(path);
    auto content = files::read(path);
    if (!content) return std::nullopt;
    return json::parse(*content);
}

}  // namespace vantorel::project

namespace vantorel {

void saveThrough(const StoreWriteQueue& queue, const std::filesystem::path& file, nlohmann::json document) {
    auto write = [file, document = std::move(document)] {
        try {
            project::writeJsonFile(file, document);
        } catch (const std::exception&) {
            // Dropped on purpose: see the declaration.
        }
    };
    if (queue) {
        queue(std::move(write));
    } else {
        write();
    }
}

}  // namespace vantorel
