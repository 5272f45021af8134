#include "support/loopback_server.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <thread>

namespace vantorel::testing {

struct LoopbackServer::Impl {
    httplib::Server server;
    std::thread thread;
    mutable std::mutex lock;
    std::vector<RecordedRequest> requests;
    Handler handler;
};

LoopbackServer::LoopbackServer(Handler handler) : impl_(std::make_unique<Impl>()) {
    impl_->handler = std::move(handler);
    auto serve = [this](const httplib::Request& request, httplib::Response& response) {
        RecordedRequest recorded;
        recorded.method = request.method;
        recorded.path = request.path;
        recorded.body = request.body;
        for (const auto& [name, value] : request.headers) {
            std::string lower = name;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            recorded.headers[lower] = value;
        }
        {
            std::lock_guard<std::mutex> guard(impl_->lock);
            impl_->requests.push_back(recorded);
        }
        Reply reply = impl_->handler(recorded);
        if (reply.delay.count() > 0) std::this_thread::sleep_for(reply.delay);
        response.status = reply.status;
        response.set_content(reply.body, reply.contentType.c_str());
    };
    impl_->server.Get(".*", serve);
    impl_->server.Post(".*", serve);
    impl_->server.Put(".*", serve);
    impl_->server.Delete(".*", serve);
    port_ = impl_->server.bind_to_any_port("127.0.0.1");
    impl_->thread = std::thread([this] { impl_->server.listen_after_bind(); });
    // stop() is a no-op until the accept loop runs: wait for it, or a server
    // destroyed at once would never stop.
    while (!impl_->server.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

LoopbackServer::~LoopbackServer() {
    impl_->server.stop();
    if (impl_->thread.joinable()) impl_->thread.join();
}

std::vector<RecordedRequest> LoopbackServer::requests() const {
    std::lock_guard<std::mutex> guard(impl_->lock);
    return impl_->requests;
}

}  // namespace vantorel::testing
