#include "app/context_reply.h"

#include "bridge/client.h"
#include "common/json.h"

#include <cstring>

namespace vantorel {

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Walks the first two levels of a body that parsed; deeper values are
// skipped by their brackets and strings.
struct Skimmer {
    std::string_view text;
    std::size_t at = 0;

    void spaces() {
        while (at < text.size() && isSpace(text[at])) ++at;
    }
    bool take(char c) {
        spaces();
        if (at >= text.size() || text[at] != c) return false;
        ++at;
        return true;
    }
    // A string's raw content; `escaped` when it holds a backslash.
    bool string(std::string_view& content, bool& escaped) {
        spaces();
        if (at >= text.size() || text[at] != '"') return false;
        const std::size_t start = ++at;
        escaped = false;
        while (at < text.size()) {
            const char c = text[at];
            if (c == '"') {
                content = text.substr(start, at - start);
                ++at;
                return true;
            }
            if (c == '\\') {
                escaped = true;
                ++at;
            }
            ++at;
        }
        return false;
    }
    bool skipValue() {
        spaces();
        if (at >= text.size()) return false;
        const char first = text[at];
        std::string_view ignored;
        bool escaped = false;
        if (first == '"') return string(ignored, escaped);
        if (first == '{' || first == '[') {
            int depth = 0;
            while (at < text.size()) {
                const char c = text[at];
                if (c == '"') {
                    if (!string(ignored, escaped)) return false;
                    continue;
                }
                if (c == '{' || c == '[') {
                    ++depth;
                } else if ((c == '}' || c == ']') && --depth == 0) {
                    ++at;
                    return true;
                }
                ++at;
            }
            return false;
        }
        const std::size_t start = at;
        while (at < text.size() && !isSpace(text[at]) && text[at] != ',' && text[at] != '}' && text[at] != ']') ++at;
        return at > start;
    }
    // Calls member(key) with `at` on each value of the object at `at`, which
    // must leave `at` past that value. False on an escaped or repeated key.
    template <typename Member>
    bool members(Member&& member) {
        if (!take('{')) return false;
        spaces();
        if (at < text.size() && text[at] == '}') {
            ++at;
            return true;
        }
        std::vector<std::string_view> seen;
        for (;;) {
            std::string_view key;
            bool escaped = false;
            if (!string(key, escaped) || escaped || !take(':')) return false;
            for (auto other : seen)
                if (other == key) return false;
            seen.push_back(key);
            spaces();
            if (!member(key)) return false;
            if (take(',')) continue;
            return take('}');
        }
    }
};

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)? from `at`; its length, 0 when there is none.
std::size_t numberLength(std::string_view text, std::size_t at) {
    auto digits = [&](std::size_t from) {
        std::size_t end = from;
        while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
        return end - from;
    };
    std::size_t end = at;
    if (end < text.size() && text[end] == '-') ++end;
    std::size_t whole = digits(end);
    if (whole == 0 || (whole > 1 && text[end] == '0')) return 0;
    end += whole;
    if (end < text.size() && text[end] == '.') {
        std::size_t fraction = digits(end + 1);
        if (fraction == 0) return 0;
        end += 1 + fraction;
    }
    if (end < text.size() && (text[end] == 'e' || text[end] == 'E')) {
        std::size_t sign = end + 1 < text.size() && (text[end + 1] == '+' || text[end + 1] == '-') ? 1 : 0;
        std::size_t exponent = digits(end + 1 + sign);
        if (exponent == 0) return 0;
        end += 1 + sign + exponent;
    }
    return end - at;
}

// The spans of `body` when it is `previous` with other numbers in the timing
// spans and nothing else changed. Each number ends where `previous` goes on
// with the byte that ended its own (a comma, a brace or a space), so `body`
// is `previous` with number tokens swapped: valid, and alike in all else.
std::optional<ContextReplyReader::Spans> repeats(std::string_view previous, const ContextReplyReader::Spans& spans,
                                                 std::string_view body) {
    ContextReplyReader::Spans found = spans;
    std::size_t from = 0, at = 0;
    for (int i = 0; i < spans.count; ++i) {
        const auto& span = spans.span[i];
        const std::size_t same = span.at - from;
        if (body.size() - at < same || std::memcmp(body.data() + at, previous.data() + from, same) != 0)
            return std::nullopt;
        at += same;
        const std::size_t length = numberLength(body, at);
        if (length == 0) return std::nullopt;
        found.span[i].at = at;
        found.span[i].length = length;
        at += length;
        from = span.at + span.length;
    }
    const std::size_t rest = previous.size() - from;
    if (body.size() - at != rest || std::memcmp(body.data() + at, previous.data() + from, rest) != 0)
        return std::nullopt;
    return found;
}

}  // namespace

std::optional<ContextReplyReader::Spans> ContextReplyReader::locateTiming(std::string_view body) {
    Spans spans;
    Skimmer skim{body};
    bool sawResult = false;
    bool ok = skim.members([&](std::string_view key) {
        if (key != "result") return skim.skipValue();
        sawResult = true;
        return skim.members([&](std::string_view inner) {
            for (int m = 0; m < 2; ++m) {
                if (inner != contextTimingMembers[m]) continue;
                const std::size_t length = numberLength(body, skim.at);
                if (length == 0) return false;
                spans.span[spans.count++] = Span{skim.at, length, m};
                skim.at += length;
                return true;
            }
            return skim.skipValue();
        });
    });
    skim.spaces();
    if (!ok || !sawResult || skim.at != body.size()) return std::nullopt;
    return spans;
}

ContextReply ContextReplyReader::read(long status, std::string body, std::uint64_t held) {
    if (status >= 200 && status <= 299 && held != 0) {
        std::lock_guard lock(mutex_);
        if (held == previousNumber_) {
            if (auto spans = repeats(previous_, previousSpans_, body)) {
                ContextReply reply;
                reply.number = held;
                for (int i = 0; i < spans->count; ++i) {
                    const Span& span = spans->span[i];
                    auto value = json::parse(std::string_view(body).substr(span.at, span.length));
                    if (value) reply.timing[std::string(contextTimingMembers[span.member])] = std::move(*value);
                }
                if (reply.timing.size() == static_cast<std::size_t>(spans->count)) {
                    previous_ = std::move(body);
                    previousSpans_ = *spans;
                    return reply;
                }
            }
        }
    }
    ContextReply reply;
    reply.result = acceptAppReply(status, body);
    auto spans = locateTiming(body);
    std::lock_guard lock(mutex_);
    if (spans) {
        previous_ = std::move(body);
        previousSpans_ = *spans;
        previousNumber_ = reply.number = ++issued_;
    } else {
        previous_.clear();
        previousNumber_ = 0;
    }
    return reply;
}

}  // namespace vantorel
