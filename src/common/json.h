// Lenient JSON reading and deterministic JSON writing.
//
// JSON from the bridge and from stored files is read leniently: a value of
// the wrong type counts as absent, and integers and doubles are both numbers.
// nlohmann::json's default object keeps keys sorted, so everything written
// here has sorted keys; non-finite numbers are written as null so that the
// output is always valid JSON.
#pragma once

#include <nlohmann/json.hpp>

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel::json {

using Json = nlohmann::json;

// Value readers: the value itself, or nothing when it has another type.
std::optional<double> asDouble(const Json& value);
// A number truncated toward zero; non-finite or out-of-range numbers are absent.
std::optional<long long> asInteger(const Json& value);
std::optional<bool> asFlag(const Json& value);
std::optional<std::string> asText(const Json& value);

// Member readers on an object; a non-object container means every member is
// absent.
const Json* member(const Json& object, std::string_view key);
std::optional<double> number(const Json& object, std::string_view key);
double number(const Json& object, std::string_view key, double fallback);
std::optional<long long> integer(const Json& object, std::string_view key);
long long integer(const Json& object, std::string_view key, long long fallback);
std::optional<bool> flag(const Json& object, std::string_view key);
bool flag(const Json& object, std::string_view key, bool fallback);
std::optional<std::string> text(const Json& object, std::string_view key);
std::string text(const Json& object, std::string_view key, std::string_view fallback);
// The member when it is an object, else nullptr.
const Json* object(const Json& object, std::string_view key);
// The members of an array that are objects, in order; elements of any other
// type are skipped, and a member that is not an array gives an empty list.
std::vector<const Json*> objects(const Json& object, std::string_view key);
// The members of an array that are strings, in order.
std::vector<std::string> texts(const Json& object, std::string_view key);

// Serialisation. Keys are sorted; non-finite numbers become null; invalid
// UTF-8 in strings is replaced rather than thrown on.
std::string compact(const Json& value);
std::string pretty(const Json& value);

// Deeper than any document the system exchanges. Writing and freeing a
// document recurse once per level, so a single hostile line nested a million
// deep must not reach the parser.
inline constexpr std::size_t maximumNesting = 512;

// Whether arrays and objects in text nest at most `limit` deep; brackets in
// strings do not count. Says nothing of validity.
bool nestingWithin(std::string_view text, std::size_t limit = maximumNesting);

// Parses text, giving nothing on a syntax error or a document nested deeper
// than maximumNesting.
std::optional<Json> parse(std::string_view text);

}  // namespace vantorel::json
