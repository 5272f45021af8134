// A blocking HTTP/1.1 exchange with a server on this machine.
//
// The bridge only ever listens on the loopback interface and a tool call
// makes a handful of requests, so the server speaks HTTP over a plain TCP
// socket of its own instead of loading a general HTTP stack at start: one
// connection per request ("Connection: close"), poll() for every wait.
#pragma once

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace vantorel::mcp {

struct HttpRequest {
    std::string host;  // "127.0.0.1" or "localhost"; nothing else is ever dialled
    int port = 0;
    std::string method;
    std::string target;  // path and query, "/v1/health"
    std::vector<std::pair<std::string, std::string>> headers;
    std::optional<std::string> body;
};

struct HttpReply {
    int status = 0;
    std::string body;
};

// No exchange took place: refused, reset, closed early or too slow.
class HttpTransportError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Bytes came back, but not an HTTP reply this client can read.
class HttpProtocolError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct HttpLimits {
    // Longest silence while connecting, sending or receiving.
    std::chrono::milliseconds idle{60000};
    // The whole exchange, connection included.
    std::chrono::milliseconds total{61000};
    std::size_t maximumBodyBytes = 64u << 20;
};

HttpReply exchange(const HttpRequest& request, const HttpLimits& limits);

// Reads one reply from the raw bytes a server sent before closing; exposed
// for the fuzz target and tests. Throws HttpProtocolError, or
// HttpTransportError when the bytes stop short of a complete reply.
HttpReply parseReply(std::string_view bytes, std::size_t maximumBodyBytes = 64u << 20);

}  // namespace vantorel::mcp
