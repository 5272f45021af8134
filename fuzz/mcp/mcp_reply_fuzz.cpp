// Bytes from the bridge's port: a reply, or one of the defined errors.
#include "mcp/bridge_client.h"
#include "mcp/loopback_http.h"
#include "mcp/server_error.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char*>(data), size);
    try {
        auto reply = vantorel::mcp::parseReply(bytes, 1u << 20);
        vantorel::acceptMCPReply(reply.status, reply.body);
    } catch (const vantorel::mcp::HttpProtocolError&) {
    } catch (const vantorel::mcp::HttpTransportError&) {
    } catch (const vantorel::MCPServerError&) {
    }
    return 0;
}
