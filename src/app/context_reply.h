// Context polls that skip the parse of a reply the mirror already holds.
//
// A large set's context is half a megabyte that the bridge sends every 2 s.
// While the producer leaves Live alone it is the same bytes each time but for
// the reply's age and capture time, and parsing it anew (then freeing the
// tree it replaces) was most of the controller's idle CPU. The reader keeps
// the last body it parsed and compares the next one with it, those two
// members left aside: when nothing else moved, it hands back the two members
// alone and the loop keeps its mirror.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace vantorel {

// The members of a context reply that change at every request.
inline constexpr std::string_view contextTimingMembers[] = {"contextAgeMs", "capturedAtUnix"};

struct ContextReply {
    // A new reply: the bridge's `result`, parsed. Empty when the reply
    // repeats the one numbered `number` but for its timing members.
    std::optional<nlohmann::json> result;
    // When it repeats: those timing members as this reply has them.
    nlohmann::json timing = nlohmann::json::object();
    // A parsed reply's number, for the next poll to name as the one its
    // mirror holds; 0 when it cannot be compared with a later one.
    std::uint64_t number = 0;
};

// Shared by the loop's polls (one at a time, but a poll of an older
// connection attempt may still be on its way).
class ContextReplyReader {
public:
    // The reply to GET /v1/context. `held`: the number of the reply the
    // mirror was built from and still holds unchanged (0: none, so the reply
    // is parsed whatever it is). Throws what acceptAppReply throws.
    ContextReply read(long status, std::string body, std::uint64_t held);

    // Where the timing members' values lie in a body, in order; nothing when
    // the body is not an object whose `result` is an object, when a key at
    // those two levels has an escape, a key repeats or a timing member is not
    // a number. Only ever applied to a body that parsed, or compared with one.
    struct Span {
        std::size_t at = 0, length = 0;
        int member = 0;  // index in contextTimingMembers
    };
    struct Spans {
        Span span[2];
        int count = 0;
    };
    static std::optional<Spans> locateTiming(std::string_view body);

private:
    std::mutex mutex_;
    std::string previous_;  // the last body parsed, with its timing spans
    Spans previousSpans_;
    std::uint64_t previousNumber_ = 0;
    std::uint64_t issued_ = 0;
};

}  // namespace vantorel
