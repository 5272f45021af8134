// A small HTTP server on 127.0.0.1 for tests: it answers with whatever the
// test's handler returns and records every request it received.
#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace vantorel::testing {

struct RecordedRequest {
    std::string method;
    std::string path;
    std::string body;
    std::map<std::string, std::string> headers;  // names in lower case
    bool hasHeader(const std::string& lowerName) const { return headers.count(lowerName) > 0; }
    std::string header(const std::string& lowerName) const {
        auto it = headers.find(lowerName);
        return it == headers.end() ? std::string() : it->second;
    }
};

struct Reply {
    int status = 200;
    std::string body;
    std::string contentType = "application/json";
    std::chrono::milliseconds delay{0};  // before answering
};

class LoopbackServer {
public:
    using Handler = std::function<Reply(const RecordedRequest&)>;

    explicit LoopbackServer(Handler handler);
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    std::vector<RecordedRequest> requests() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
    int port_ = 0;
};

}  // namespace vantorel::testing
