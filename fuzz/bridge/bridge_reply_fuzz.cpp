// Bridge replies and configured addresses come from outside the process:
// whatever they hold, acceptance gives a result or one of the defined errors.
#include "bridge/client.h"
#include "bridge/failure.h"
#include "bridge/url.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    long status = 100 + (data[0] % 5) * 100 + data[1] % 10;
    std::string_view body(reinterpret_cast<const char*>(data + 2), size - 2);
    try {
        vantorel::acceptAppReply(status, body);
    } catch (const vantorel::BridgeFailure&) {
    } catch (const vantorel::BridgeReplyParseError&) {
    }
    if (auto url = vantorel::bridge::Url::parse(body)) (void)url->resolve("/v1/context");
    return 0;
}
