#include "mcp_fixture.h"

#include "bridge/protocol.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>


namespace vantorel::testing {

using json::Json;

void writeBridgeConfiguration(const TempHome& home, const std::string& url, const std::string& token) {
    writeText(home.appData() / "bridge.json", json::compact(Json{{"authToken", token}, {"bridgeUrl", url}}));
}

std::string envelope(const Json& result) { return json::compact(Json{{"ok", true}, {"result", result}}); }

std::string healthBody(const std::string& version, bool allCapabilities) {
    Json capabilities = Json::array();
    for (auto name : bridge::requiredCapabilities) capabilities.push_back(name);
    if (!allCapabilities) capabilities.erase(capabilities.begin());
    return envelope(Json{{"bridgeVersion", version}, {"capabilities", capabilities}});
}

BridgeFixture::BridgeFixture(LoopbackServer::Handler handler)
    : server([this, handler = std::move(handler)](const RecordedRequest& request) {
          if (request.path == "/v1/health") return Reply{200, healthBody(version)};
          return handler(request);
      }) {
    writeBridgeConfiguration(home, server.url());
}

std::vector<RecordedRequest> BridgeFixture::toolRequests() const {
    std::vector<RecordedRequest> out;
    for (auto& request : server.requests()) {
        if (request.path != "/v1/health") out.push_back(request);
    }
    return out;
}

Json content(const Json& result) { return result.at("structuredContent"); }

std::string errorMessage(const Json& result) {
    return json::text(*json::object(content(result), "error"), "message", "<no error>");
}

RawServer::RawServer(std::string reply) : reply_(std::move(reply)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
    socklen_t length = sizeof(address);
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    ::listen(listener_, 8);
    thread_ = std::thread([this] {
        while (!stopping_) {
            pollfd entry{listener_, POLLIN, 0};
            if (::poll(&entry, 1, 50) <= 0) continue;
            int client = ::accept(listener_, nullptr, nullptr);
            if (client < 0) continue;
            std::string in;
            char buffer[4096];
            std::size_t wanted = std::string::npos;
            while (wanted == std::string::npos || in.size() < wanted) {
                ssize_t n = ::recv(client, buffer, sizeof(buffer), 0);
                if (n <= 0) break;
                in.append(buffer, static_cast<std::size_t>(n));
                auto end = in.find("\r\n\r\n");
                if (end != std::string::npos && wanted == std::string::npos) {
                    std::size_t body = 0;
                    auto at = in.find("Content-Length: ");
                    if (at != std::string::npos && at < end) body = std::stoul(in.substr(at + 16));
                    wanted = end + 4 + body;
                }
            }
            ::send(client, reply_.data(), reply_.size(), MSG_NOSIGNAL);
            ::close(client);
        }
    });
}

RawServer::~RawServer() {
    stopping_ = true;
    thread_.join();
    ::close(listener_);
}

}  // namespace vantorel::testing
