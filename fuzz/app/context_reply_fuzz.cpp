// Context replies come from the bridge. The poll skips parsing a reply it
// takes for the last one with new timing numbers: whatever two bodies hold,
// such a reply must parse, and to the same result but for those numbers.
#include "app/context_reply.h"
#include "bridge/client.h"
#include "bridge/failure.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

std::optional<nlohmann::json> accepted(const std::string& body) {
    try {
        return vantorel::acceptAppReply(200, body);
    } catch (const vantorel::BridgeFailure&) {
    } catch (const vantorel::BridgeReplyParseError&) {
    }
    return std::nullopt;
}

nlohmann::json withoutTiming(nlohmann::json result) {
    for (auto member : vantorel::contextTimingMembers) result.erase(std::string(member));
    return result;
}

}  // namespace

// The input is two bodies separated by the first 0xFF byte (never valid in
// JSON text), so a mutation can change one and keep the other.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    const std::size_t cut = input.find('\xff');
    const std::string first(input.substr(0, cut));
    const std::string second(cut == std::string_view::npos ? first : std::string(input.substr(cut + 1)));

    vantorel::ContextReplyReader reader;
    vantorel::ContextReply held;
    try {
        held = reader.read(200, first, 0);
    } catch (const vantorel::BridgeFailure&) {
        return 0;
    } catch (const vantorel::BridgeReplyParseError&) {
        return 0;
    }
    if (held.number == 0) return 0;
    vantorel::ContextReply next;
    try {
        next = reader.read(200, second, held.number);
    } catch (const vantorel::BridgeFailure&) {
        return 0;
    } catch (const vantorel::BridgeReplyParseError&) {
        return 0;
    }
    if (next.result) return 0;  // parsed in full: nothing taken on trust
    auto whole = accepted(second);
    if (!whole || withoutTiming(*whole) != withoutTiming(*held.result)) std::abort();
    for (auto& [key, value] : next.timing.items()) {
        if ((*whole)[key] != value) std::abort();
    }
    return 0;
}
