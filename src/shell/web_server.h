// The page served on the loopback interface, for browser mode: the same page
// the panel shows, its messages POSTed to /message and the controller's
// events streamed from /events.
//
// Everything but the static files needs the per-launch token, and every
// request must name 127.0.0.1:PORT as its host (a page on another site that
// resolves its own name to 127.0.0.1 cannot reach us) and come from our own
// origin when it says where it comes from. The checks run before any body is
// read. The server runs on its own threads; `publish` and `stop` may be
// called from any thread, and messages are handed to `onMessage` on a server
// thread (the owner posts them to its loop).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace httplib {
class Server;
}

namespace vantorel::shell {

struct WebServerOptions {
    // The page's folder (index.html and its modules).
    std::filesystem::path webRoot;
    // One page message, JSON text, already checked to parse.
    std::function<void(std::string)> onMessage;
    // A comment on every idle stream this often finds the clients that left.
    std::chrono::milliseconds keepAliveComment{15000};
    // Each stream holds one of the server's workers for its whole life.
    std::size_t maximumStreams = 4;
    // Tests pass a known token; empty draws a new one.
    std::string token;
};

inline constexpr std::size_t maximumMessageBytes = 1024 * 1024;

// 32 random bytes from the kernel, as 64 lower-case hex digits.
std::string newPageToken();

// Equality of a presented token with ours, in time that depends only on the
// length of ours.
bool sameToken(std::string_view presented, std::string_view expected);

class WebServer {
public:
    explicit WebServer(WebServerOptions options);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds 127.0.0.1 on a port the kernel picks and starts serving; throws
    // std::runtime_error when it cannot bind.
    void start();
    // Wakes every stream, closes them and waits for the server's threads.
    void stop();

    int port() const { return port_; }
    const std::string& token() const { return options_.token; }
    // http://127.0.0.1:PORT/#token=TOKEN
    std::string address() const;

    // One serialised {"event","value"} object to every open stream; dropped
    // when none is open (the page's next "ready" restores the picture).
    void publish(std::string eventJson);
    std::size_t openStreams() const;

private:
    struct Stream;
    void install();
    std::shared_ptr<Stream> openStream();
    // The next piece of a stream: its queued events, a comment when idle,
    // nothing when it must close.
    bool nextChunk(Stream& stream, std::string& out);
    void closeStream(const std::shared_ptr<Stream>& stream);

    WebServerOptions options_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    int port_ = 0;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::shared_ptr<Stream>> streams_;
    bool stopping_ = false;
};

}  // namespace vantorel::shell
