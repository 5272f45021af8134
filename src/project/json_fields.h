// Strict decoding of the records that project knowledge keeps on disk.
//
// Every store file and every index is decoded whole: a required key that is
// missing or of the wrong type makes the whole record undecodable, and the
// caller then treats the file as empty. Numbers stay lenient (an integer field
// accepts 3.0, a double field accepts 3), as everywhere else in the system.
// Dates are the ISO 8601 strings of common/iso8601.h.
#pragma once

#include "common/json.h"
#include "common/iso8601.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel::project {

using Json = nlohmann::json;
using Clock = std::chrono::system_clock;

// Thrown by the readers below; callers catch it and treat the record as
// undecodable. Never reaches the user.
struct DecodeFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The earliest date the stores write: an unknown date ("the distant past")
// sorts before every real one. The system clock counts nanoseconds and cannot
// hold year 1, so the Unix epoch stands for it.
inline const Clock::time_point kDistantPast{};

// Dates as the stores write them: whole seconds, UTC, "Z".
std::string formatDate(Clock::time_point date);
// Reads a stored date. Years before 1678 (another writer's distant past) read
// as kDistantPast; years the clock cannot hold, or text that is no date, are
// absent.
std::optional<Clock::time_point> parseDate(std::string_view text);
// The date rounded down to the whole second, the precision it is stored at.
Clock::time_point wholeSeconds(Clock::time_point date);

const Json& requireMember(const Json& object, std::string_view key);
std::string requireText(const Json& object, std::string_view key);
double requireNumber(const Json& object, std::string_view key);
long long requireInteger(const Json& object, std::string_view key);
bool requireFlag(const Json& object, std::string_view key);
Clock::time_point requireDate(const Json& object, std::string_view key);
const Json& requireObject(const Json& object, std::string_view key);
const Json& requireArray(const Json& object, std::string_view key);
std::vector<std::string> requireTexts(const Json& object, std::string_view key);

// Optional members: absent or JSON null gives nothing; a present value of the
// wrong type is a decoding failure, as it would be for a required one.
std::optional<double> optionalNumber(const Json& object, std::string_view key);
std::optional<long long> optionalInteger(const Json& object, std::string_view key);
std::optional<std::string> optionalText(const Json& object, std::string_view key);
std::optional<Clock::time_point> optionalDate(const Json& object, std::string_view key);

// Writes the JSON to path atomically, pretty-printed with sorted keys.
// Throws std::system_error or std::filesystem::filesystem_error.
void writeJsonFile(const std::filesystem::path& path, const Json& value);
// A store's file as it loads: the temporaries that killed writers left beside
// it are removed first, then the file's JSON, or nothing when it cannot be
// read or parsed.
std::optional<Json> readJsonFile(const std::filesystem::path& path);

}  // namespace vantorel::project
