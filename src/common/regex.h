// ICU regular expressions, compiled once per process.
//
// The request extractors are written in ICU syntax. Patterns are compiled on
// first use and kept for the life of the process; compiled patterns are safe
// to share between threads, matchers are made per call.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel::regex {

enum Option : unsigned {
    none = 0,
    caseInsensitive = 1u << 0,
    dotAll = 1u << 1,
};

struct Match {
    // groups[0] is the whole match; a group that did not take part is empty.
    std::vector<std::optional<std::string>> groups;
    // Byte offsets of the whole match in the UTF-8 subject.
    std::size_t begin = 0;
    std::size_t end = 0;

    const std::optional<std::string>& group(std::size_t index) const;
};

// The first match of pattern in text, if any. An invalid pattern is a
// programming error and throws std::invalid_argument.
std::optional<Match> firstMatch(std::string_view pattern, std::string_view text, unsigned options = none);
// Whether pattern matches anywhere in text.
bool contains(std::string_view pattern, std::string_view text, unsigned options = none);
// Every non-overlapping match, in order.
std::vector<Match> allMatches(std::string_view pattern, std::string_view text, unsigned options = none);

// Number of distinct patterns compiled so far (for tests of the cache).
std::size_t cachedPatternCount();

}  // namespace vantorel::regex
