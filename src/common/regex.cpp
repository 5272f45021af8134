#include "common/regex.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>

#include <map>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace vantorel::regex {

namespace {

struct Cache {
    std::mutex lock;
    std::map<std::pair<unsigned, std::string>, std::unique_ptr<icu::RegexPattern>, std::less<>> patterns;
};

Cache& cache() {
    static Cache* instance = new Cache();  // never destroyed: patterns may be used during exit
    return *instance;
}

const icu::RegexPattern& compiled(std::string_view pattern, unsigned options) {
    Cache& c = cache();
    std::lock_guard<std::mutex> guard(c.lock);
    auto key = std::make_pair(options, std::string(pattern));
    auto it = c.patterns.find(key);
    if (it != c.patterns.end()) return *it->second;
    uint32_t flags = 0;
    if (options & caseInsensitive) flags |= UREGEX_CASE_INSENSITIVE;
    if (options & dotAll) flags |= UREGEX_DOTALL;
    UErrorCode status = U_ZERO_ERROR;
    UParseError parseError{};
    std::unique_ptr<icu::RegexPattern> made(icu::RegexPattern::compile(
        icu::UnicodeString::fromUTF8(icu::StringPiece(pattern.data(), static_cast<int32_t>(pattern.size()))), flags,
        parseError, status));
    if (U_FAILURE(status) || !made) {
        throw std::invalid_argument("invalid regular expression at offset " + std::to_string(parseError.offset) +
                                    ": " + std::string(pattern));
    }
    const icu::RegexPattern& result = *made;
    c.patterns.emplace(std::move(key), std::move(made));
    return result;
}

std::string toUtf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

Match currentMatch(icu::RegexMatcher& matcher, const icu::UnicodeString& subject) {
    UErrorCode status = U_ZERO_ERROR;
    Match match;
    int32_t groupCount = matcher.groupCount();
    match.groups.reserve(static_cast<std::size_t>(groupCount) + 1);
    for (int32_t g = 0; g <= groupCount; ++g) {
        int32_t start = matcher.start(g, status);
        if (U_FAILURE(status) || start < 0) {
            status = U_ZERO_ERROR;
            match.groups.emplace_back(std::nullopt);
            continue;
        }
        match.groups.emplace_back(toUtf8(matcher.group(g, status)));
    }
    int32_t start = matcher.start(status);
    int32_t end = matcher.end(status);
    match.begin = toUtf8(subject.tempSubString(0, start)).size();
    match.end = match.begin + toUtf8(subject.tempSubStringBetween(start, end)).size();
    return match;
}

}  // namespace

const std::optional<std::string>& Match::group(std::size_t index) const {
    static const std::optional<std::string> absent;
    return index < groups.size() ? groups[index] : absent;
}

std::vector<Match> allMatches(std::string_view pattern, std::string_view text, unsigned options) {
    const icu::RegexPattern& compiledPattern = compiled(pattern, options);
    icu::UnicodeString subject =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(compiledPattern.matcher(subject, status));
    std::vector<Match> out;
    if (U_FAILURE(status)) return out;
    while (matcher->find(status) && U_SUCCESS(status)) out.push_back(currentMatch(*matcher, subject));
    return out;
}

std::optional<Match> firstMatch(std::string_view pattern, std::string_view text, unsigned options) {
    const icu::RegexPattern& compiledPattern = compiled(pattern, options);
    icu::UnicodeString subject =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(compiledPattern.matcher(subject, status));
    if (U_FAILURE(status)) return std::nullopt;
    if (!matcher->find(status) || U_FAILURE(status)) return std::nullopt;
    return currentMatch(*matcher, subject);
}

bool contains(std::string_view pattern, std::string_view text, unsigned options) {
    const icu::RegexPattern& compiledPattern = compiled(pattern, options);
    icu::UnicodeString subject =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::RegexMatcher> matcher(compiledPattern.matcher(subject, status));
    if (U_FAILURE(status)) return false;
    return matcher->find(status) && U_SUCCESS(status);
}

std::size_t cachedPatternCount() {
    Cache& c = cache();
    std::lock_guard<std::mutex> guard(c.lock);
    return c.patterns.size();
}

}  // namespace vantorel::regex
