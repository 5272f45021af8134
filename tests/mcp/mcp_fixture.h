// What the server's suites share: a private home whose bridge.json points at
// a loopback test server that answers the health check like a current
// bridge, plus a server that replies with raw bytes.
#pragma once

#include "common/json.h"
#include "support/loopback_server.h"
#include "support/temp_home.h"

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace vantorel::testing {

inline const std::string kToken = "abcdefghijklmnopqrstuvwxyz0123456789-_ABCDEFG";

void writeBridgeConfiguration(const TempHome& home, const std::string& url, const std::string& token = kToken);

std::string envelope(const json::Json& result);
std::string healthBody(const std::string& version = "0.18.0", bool allCapabilities = true);

// A bridge stand-in: /v1/health answers as `version` does; every other
// request goes to the handler.
struct BridgeFixture {
    TempHome home;
    std::string version = "0.18.0";
    LoopbackServer server;

    explicit BridgeFixture(LoopbackServer::Handler handler);
    // The requests other than the health checks.
    std::vector<RecordedRequest> toolRequests() const;
};

// The tool result's structured content and error message.
json::Json content(const json::Json& result);
std::string errorMessage(const json::Json& result);

// Accepts connections on 127.0.0.1, reads each request's head and body, then
// writes `reply` as it is and closes.
class RawServer {
public:
    explicit RawServer(std::string reply);
    ~RawServer();
    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }

private:
    std::string reply_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace vantorel::testing
