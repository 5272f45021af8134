#include "shell/web_server.h"

#include "support/temp_home.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

namespace vantorel::shell {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A raw HTTP/1.1 exchange, so that tests can send what browsers never do.
class RawConnection {
public:
    explicit RawConnection(int port) {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~RawConnection() {
        if (fd_ >= 0) close(fd_);
    }
    bool connected() const { return fd_ >= 0; }
    void send(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return;  // the server may close early on a refusal
            sent += static_cast<std::size_t>(n);
        }
    }
    // Reads until `until` appears in what was received, the peer closes or
    // the time runs out.
    std::string readUntil(const std::string& until, std::chrono::milliseconds timeout = 5000ms) {
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (received_.find(until) == std::string::npos) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
            char buffer[65536];
            ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closedByPeer_ = true;
                break;
            }
            received_.append(buffer, static_cast<std::size_t>(n));
        }
        return received_;
    }
    bool closedByPeer() const { return closedByPeer_; }

private:
    int fd_ = -1;
    std::string received_;
    bool closedByPeer_ = false;
};

int statusOf(const std::string& response) {
    if (response.rfind("HTTP/1.1 ", 0) != 0 || response.size() < 12) return -1;
    return std::stoi(response.substr(9, 3));
}

std::string headersOf(const std::string& response) { return response.substr(0, response.find("\r\n\r\n")); }

class WebServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        web = home.root() / "web";
        testing::writeText(web / "index.html", "<!doctype html><title>page</title>");
        testing::writeText(web / "js/main.js", "export {};");
        testing::writeText(home.root() / "secret.txt", "secret");
        fs::create_symlink(home.root() / "secret.txt", web / "escape.txt");
        WebServerOptions options;
        options.webRoot = web;
        options.token = std::string(64, 'a');
        options.onMessage = [this](std::string message) {
            std::lock_guard lock(mutex);
            messages.push_back(std::move(message));
        };
        server = std::make_unique<WebServer>(options);
        server->start();
        host = "127.0.0.1:" + std::to_string(server->port());
    }

    std::string exchange(const std::string& request) {
        RawConnection connection(server->port());
        connection.send(request);
        return connection.readUntil("\r\n\r\n");
    }
    std::string messageRequest(const std::string& body, const std::string& extraHeaders = "") {
        return "POST /message HTTP/1.1\r\nHost: " + host + "\r\nContent-Type: application/json\r\n" +
               "X-Vantorel-Page-Token: " + server->token() + "\r\nContent-Length: " + std::to_string(body.size()) +
               "\r\n" + extraHeaders + "Connection: close\r\n\r\n" + body;
    }
    std::vector<std::string> received() {
        std::lock_guard lock(mutex);
        return messages;
    }

    testing::TempHome home;
    fs::path web;
    std::unique_ptr<WebServer> server;
    std::string host;
    std::mutex mutex;
    std::vector<std::string> messages;
};

TEST(PageToken, IsSixtyFourHexDigitsAndNewEachTime) {
    const std::string a = newPageToken();
    EXPECT_EQ(a.size(), 64u);
    EXPECT_EQ(a.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_NE(a, newPageToken());
}

TEST_F(WebServerTest, RefusesRequestsWithoutTheRightTokenHostOrOrigin) {
    const std::string token = server->token();
    const std::string other = "127.0.0.1:" + std::to_string(server->port() == 65535 ? 1 : server->port() + 1);
    auto events = [&](const std::string& query, const std::string& hostHeader, const std::string& extra = "") {
        return "GET /events" + query + " HTTP/1.1\r\nHost: " + hostHeader + "\r\n" + extra + "Connection: close\r\n\r\n";
    };
    auto message = [&](const std::string& tokenHeader, const std::string& hostHeader, const std::string& extra = "") {
        return "POST /message HTTP/1.1\r\nHost: " + hostHeader + "\r\nContent-Type: application/json\r\n" +
               tokenHeader + extra + "Content-Length: 2\r\nConnection: close\r\n\r\n{}";
    };
    struct Case {
        const char* label;
        std::string request;
        int status;
    };
    const std::vector<Case> cases = {
        {"events without token", events("", host), 403},
        {"events wrong token", events("?token=" + std::string(64, 'b'), host), 403},
        {"events short token", events("?token=" + token.substr(0, 63), host), 403},
        {"events long token", events("?token=" + token + "a", host), 403},
        {"message without token", message("", host), 403},
        {"message wrong token", message("X-Vantorel-Page-Token: " + std::string(64, 'b') + "\r\n", host), 403},
        {"message short token", message("X-Vantorel-Page-Token: " + token.substr(1) + "\r\n", host), 403},
        {"message long token", message("X-Vantorel-Page-Token: " + token + "0\r\n", host), 403},
        {"message token in query", "POST /message?token=" + token + " HTTP/1.1\r\nHost: " + host +
                                       "\r\nContent-Type: application/json\r\nContent-Length: 2\r\n\r\n{}", 403},
        {"host localhost", message("X-Vantorel-Page-Token: " + token + "\r\n", "localhost:" + std::to_string(server->port())), 403},
        {"host without port", message("X-Vantorel-Page-Token: " + token + "\r\n", "127.0.0.1"), 403},
        {"host other port", message("X-Vantorel-Page-Token: " + token + "\r\n", other), 403},
        {"page from another host", "GET / HTTP/1.1\r\nHost: evil.example:" + std::to_string(server->port()) + "\r\n\r\n", 403},
        {"origin null", message("X-Vantorel-Page-Token: " + token + "\r\n", host, "Origin: null\r\n"), 403},
        {"origin other port", message("X-Vantorel-Page-Token: " + token + "\r\n", host, "Origin: http://" + other + "\r\n"), 403},
        {"origin https", message("X-Vantorel-Page-Token: " + token + "\r\n", host, "Origin: https://" + host + "\r\n"), 403},
        {"own origin", message("X-Vantorel-Page-Token: " + token + "\r\n", host, "Origin: http://" + host + "\r\n"), 204},
        {"no origin", message("X-Vantorel-Page-Token: " + token + "\r\n", host), 204},
        {"page needs no token", "GET / HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n", 200},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(statusOf(exchange(c.request)), c.status);
    }
    EXPECT_EQ(received().size(), 2u) << "only the two accepted messages reach the controller";
}

TEST_F(WebServerTest, MessageBodiesAreLimitedTypedAndParsed) {
    const std::string token = server->token();
    // A JSON string of exactly 1 MiB with its quotes.
    const std::string exact = "\"" + std::string(maximumMessageBytes - 2, 'x') + "\"";
    const std::string oneMore = "\"" + std::string(maximumMessageBytes - 1, 'x') + "\"";
    auto chunked = [&](const std::string& body) {
        std::string request = "POST /message HTTP/1.1\r\nHost: " + host +
                              "\r\nContent-Type: application/json\r\nX-Vantorel-Page-Token: " + token +
                              "\r\nTransfer-Encoding: chunked\r\nConnection: close\r\n\r\n";
        for (std::size_t at = 0; at < body.size(); at += 65536) {
            std::string piece = body.substr(at, 65536);
            char size[32];
            std::snprintf(size, sizeof size, "%zx\r\n", piece.size());
            request += size + piece + "\r\n";
        }
        return request + "0\r\n\r\n";
    };
    struct Case {
        const char* label;
        std::string request;
        int status;
    };
    const std::vector<Case> cases = {
        {"exactly 1 MiB", messageRequest(exact), 204},
        {"1 MiB + 1 by length", messageRequest(oneMore), 413},
        {"1 MiB + 1 announced, nothing sent",
         "POST /message HTTP/1.1\r\nHost: " + host + "\r\nContent-Type: application/json\r\nX-Vantorel-Page-Token: " +
             token + "\r\nContent-Length: " + std::to_string(maximumMessageBytes + 1) + "\r\n\r\n", 413},
        {"1 MiB + 1 chunked", chunked(oneMore), 413},
        {"gzip", messageRequest("\x1f\x8b", "Content-Encoding: gzip\r\n"), 415},
        {"form", "POST /message HTTP/1.1\r\nHost: " + host +
                     "\r\nContent-Type: application/x-www-form-urlencoded\r\nX-Vantorel-Page-Token: " + token +
                     "\r\nContent-Length: 3\r\nConnection: close\r\n\r\na=b", 415},
        {"bad json", messageRequest("{\"type\":"), 400},
        {"chunked within the limit", chunked("{\"type\":\"undo\"}"), 204},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        EXPECT_EQ(statusOf(exchange(c.request)), c.status);
    }
    auto got = received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].size(), maximumMessageBytes);
    EXPECT_EQ(got[1], "{\"type\":\"undo\"}");
}

TEST_F(WebServerTest, AnswersCarryTheSecurityHeadersAndNeverCorsOnes) {
    const std::vector<std::string> requests = {
        "GET / HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n",
        "GET /js/main.js HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n",
        "GET /missing.js HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n",
        "OPTIONS /message HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://" + host +
            "\r\nAccess-Control-Request-Method: POST\r\nConnection: close\r\n\r\n",
        "OPTIONS /message HTTP/1.1\r\nHost: " + host + "\r\nOrigin: http://evil.example\r\nConnection: close\r\n\r\n",
        messageRequest("{}"),
        "GET /events HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n",
    };
    for (const auto& request : requests) {
        SCOPED_TRACE(request.substr(0, request.find('\r')));
        const std::string headers = headersOf(exchange(request));
        ASSERT_NE(statusOf(headers), -1);
        EXPECT_NE(headers.find("Content-Security-Policy: default-src 'self'; frame-ancestors 'none'"), std::string::npos);
        EXPECT_NE(headers.find("X-Content-Type-Options: nosniff"), std::string::npos);
        EXPECT_NE(headers.find("Cache-Control: no-store"), std::string::npos);
        EXPECT_NE(headers.find("Referrer-Policy: no-referrer"), std::string::npos);
        EXPECT_EQ(headers.find("Access-Control-"), std::string::npos);
        EXPECT_EQ(headers.find("Set-Cookie"), std::string::npos);
    }
    const std::string page = exchange("GET /js/main.js HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
    EXPECT_NE(page.find("Content-Type: text/javascript"), std::string::npos);
}

TEST_F(WebServerTest, ServesOnlyThePageFolder) {
    struct Case {
        const char* path;
        int status;
    };
    const Case cases[] = {
        {"/", 200},
        {"/index.html", 200},
        {"/js/main.js", 200},
        {"/../secret.txt", 404},
        {"/%2e%2e/secret.txt", 404},
        {"/js/%2E%2E/%2e%2e/secret.txt", 404},
        {"/escape.txt", 404},
        {"/js", 404},
        {"/nothing.html", 404},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const std::string response =
            exchange(std::string("GET ") + c.path + " HTTP/1.1\r\nHost: " + host + "\r\nConnection: close\r\n\r\n");
        EXPECT_EQ(statusOf(response), c.status);
        EXPECT_EQ(response.find("secret"), std::string::npos);
    }
}

TEST_F(WebServerTest, StreamsEventsAndDropsThemWithoutListeners) {
    server->publish(R"({"event":"early","value":1})");
    RawConnection stream(server->port());
    stream.send("GET /events?token=" + server->token() + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
    std::string head = stream.readUntil(": vantorel");
    EXPECT_EQ(statusOf(head), 200);
    EXPECT_NE(head.find("Content-Type: text/event-stream"), std::string::npos);
    for (int i = 0; i < 100 && server->openStreams() == 0; ++i) std::this_thread::sleep_for(10ms);
    server->publish(R"({"event":"session","value":{"revision":3}})");
    std::string all = stream.readUntil("revision");
    EXPECT_NE(all.find("data: {\"event\":\"session\",\"value\":{\"revision\":3}}\n\n"), std::string::npos);
    EXPECT_EQ(all.find("early"), std::string::npos);
}

TEST_F(WebServerTest, IdleStreamsGetAComment) {
    WebServerOptions options;
    options.webRoot = web;
    options.keepAliveComment = 100ms;
    WebServer quick(options);
    quick.start();
    RawConnection stream(quick.port());
    stream.send("GET /events?token=" + quick.token() + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(quick.port()) +
                "\r\n\r\n");
    EXPECT_NE(stream.readUntil(": keep-alive", 3000ms).find(": keep-alive"), std::string::npos);
}

TEST_F(WebServerTest, ManyStreamsLeaveWorkersForMessagesAndStopWakesThem) {
    std::vector<std::unique_ptr<RawConnection>> streams;
    for (int i = 0; i < 8; ++i) {
        streams.push_back(std::make_unique<RawConnection>(server->port()));
        streams.back()->send("GET /events?token=" + server->token() + " HTTP/1.1\r\nHost: " + host + "\r\n\r\n");
        streams.back()->readUntil(": vantorel");
    }
    EXPECT_EQ(server->openStreams(), 4u);
    // The oldest were closed to make room.
    streams.front()->readUntil("never", 2000ms);
    EXPECT_TRUE(streams.front()->closedByPeer());

    EXPECT_EQ(statusOf(exchange(messageRequest("{\"type\":\"ready\"}"))), 204);

    auto started = std::chrono::steady_clock::now();
    server->stop();
    EXPECT_LE(std::chrono::steady_clock::now() - started, 1000ms);
    streams.back()->readUntil("never", 2000ms);
    EXPECT_TRUE(streams.back()->closedByPeer());
}

}  // namespace
}  // namespace vantorel::shell
