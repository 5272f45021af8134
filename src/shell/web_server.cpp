#include "shell/web_server.h"

#include "common/files.h"
#include "common/json.h"

#include <httplib.h>
#include <sys/random.h>

#include <algorithm>
#include <charconv>
#include <stdexcept>
#include <system_error>

namespace vantorel::shell {

namespace {

constexpr const char* kContentSecurityPolicy = "default-src 'self'; frame-ancestors 'none'";

std::string contentTypeOf(const std::filesystem::path& file) {
    const std::string ext = file.extension().string();
    if (ext == ".html") return "text/html; charset=utf-8";
    if (ext == ".js" || ext == ".mjs") return "text/javascript; charset=utf-8";
    if (ext == ".css") return "text/css; charset=utf-8";
    if (ext == ".svg") return "image/svg+xml";
    if (ext == ".png") return "image/png";
    if (ext == ".json") return "application/json";
    if (ext == ".woff2") return "font/woff2";
    return "application/octet-stream";
}

// The media type without its parameters, lower-cased and trimmed.
std::string mediaType(std::string value) {
    if (auto semicolon = value.find(';'); semicolon != std::string::npos) value.resize(semicolon);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.pop_back();
    std::size_t start = value.find_first_not_of(" \t");
    value = start == std::string::npos ? std::string() : value.substr(start);
    std::transform(value.begin(), value.end(), value.begin(), [](unsigned char c) { return std::tolower(c); });
    return value;
}

void refuse(httplib::Response& res, int status) {
    res.status = status;
    // The body of a refused request may still be on its way: the connection
    // cannot carry another request after it.
    res.set_header("Connection", "close");
}

// A file of the page for a request path, or nothing: no way out of the
// folder, through ".." or through a link.
std::optional<std::filesystem::path> pageFile(const std::filesystem::path& root, const std::string& requestPath) {
    if (requestPath.empty() || requestPath.front() != '/') return std::nullopt;
    std::string relative = requestPath == "/" ? std::string("index.html") : requestPath.substr(1);
    if (relative.find('\0') != std::string::npos || relative.find('\\') != std::string::npos) return std::nullopt;
    std::filesystem::path path(relative);
    for (const auto& part : path) {
        if (part == ".." || part == ".") return std::nullopt;
    }
    std::error_code error;
    const auto canonicalRoot = std::filesystem::canonical(root, error);
    if (error) return std::nullopt;
    const auto file = std::filesystem::canonical(canonicalRoot / path, error);
    if (error || !std::filesystem::is_regular_file(file, error)) return std::nullopt;
    auto [rootEnd, fileIt] = std::mismatch(canonicalRoot.begin(), canonicalRoot.end(), file.begin(), file.end());
    if (rootEnd != canonicalRoot.end()) return std::nullopt;
    return file;
}

}  // namespace

std::string newPageToken() {
    unsigned char bytes[32];
    std::size_t filled = 0;
    while (filled < sizeof bytes) {
        ssize_t got = getrandom(bytes + filled, sizeof bytes - filled, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            throw std::system_error(errno, std::generic_category(), "getrandom");
        }
        filled += static_cast<std::size_t>(got);
    }
    static constexpr char digits[] = "0123456789abcdef";
    std::string token;
    token.reserve(64);
    for (unsigned char byte : bytes) {
        token.push_back(digits[byte >> 4]);
        token.push_back(digits[byte & 0xf]);
    }
    return token;
}

bool sameToken(std::string_view presented, std::string_view expected) {
    unsigned difference = presented.size() == expected.size() ? 0u : 1u;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const unsigned char theirs = i < presented.size() ? static_cast<unsigned char>(presented[i]) : 0;
        difference |= theirs ^ static_cast<unsigned char>(expected[i]);
    }
    return difference == 0 && !expected.empty();
}

struct WebServer::Stream {
    std::vector<std::string> queued;
    bool closed = false;
    bool greeted = false;
};

WebServer::WebServer(WebServerOptions options)
    : options_(std::move(options)), server_(std::make_unique<httplib::Server>()) {
    if (options_.token.empty()) options_.token = newPageToken();
}

WebServer::~WebServer() { stop(); }

std::string WebServer::address() const {
    return "http://127.0.0.1:" + std::to_string(port_) + "/#token=" + options_.token;
}

void WebServer::start() {
    install();
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) throw std::runtime_error("cannot listen on 127.0.0.1");
    thread_ = std::thread([this] { server_->listen_after_bind(); });
}

void WebServer::stop() {
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        for (auto& stream : streams_) stream->closed = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) {
        server_->stop();
        thread_.join();
    }
}

void WebServer::publish(std::string eventJson) {
    // A line break would end the event early: the writer never produces one,
    // but the stream format must hold whatever comes.
    std::string message = "data: ";
    for (char c : eventJson) {
        if (c == '\n') message += "\ndata: ";
        else if (c != '\r') message.push_back(c);
    }
    message += "\n\n";
    {
        std::lock_guard lock(mutex_);
        if (streams_.empty()) return;
        for (auto& stream : streams_) stream->queued.push_back(message);
    }
    wake_.notify_all();
}

std::size_t WebServer::openStreams() const {
    std::lock_guard lock(mutex_);
    return streams_.size();
}

std::shared_ptr<WebServer::Stream> WebServer::openStream() {
    auto stream = std::make_shared<Stream>();
    {
        std::lock_guard lock(mutex_);
        // Every stream holds a worker; past the limit the oldest goes, so
        // that messages always find a worker to answer them.
        while (streams_.size() >= options_.maximumStreams && !streams_.empty()) {
            streams_.front()->closed = true;
            streams_.erase(streams_.begin());
        }
        if (stopping_) stream->closed = true;
        else streams_.push_back(stream);
    }
    wake_.notify_all();
    return stream;
}

void WebServer::closeStream(const std::shared_ptr<Stream>& stream) {
    std::lock_guard lock(mutex_);
    stream->closed = true;
    std::erase(streams_, stream);
}

bool WebServer::nextChunk(Stream& stream, std::string& out) {
    std::unique_lock lock(mutex_);
    if (!stream.greeted) {
        stream.greeted = true;
        out = ": vantorel\n\n";
        return !stream.closed;
    }
    const bool woken = wake_.wait_for(lock, options_.keepAliveComment,
                                      [&] { return stream.closed || !stream.queued.empty(); });
    if (stream.closed) return false;
    if (!woken) {
        out = ": keep-alive\n\n";
        return true;
    }
    out.clear();
    for (auto& message : stream.queued) out += message;
    stream.queued.clear();
    return true;
}

void WebServer::install() {
    auto& server = *server_;
    server.set_keep_alive_timeout(1);
    server.set_read_timeout(5);
    server.set_write_timeout(5);
    server.set_default_headers({
        {"Content-Security-Policy", kContentSecurityPolicy},
        {"X-Content-Type-Options", "nosniff"},
        {"Cache-Control", "no-store"},
        {"Referrer-Policy", "no-referrer"},
    });

    // Everything that can refuse a request without reading its body. Returns
    // the refusing status, 0 to go on.
    auto check = [this](const httplib::Request& req) -> int {
        const std::string origin = "127.0.0.1:" + std::to_string(port_);
        if (req.get_header_value_count("Host") != 1 || req.get_header_value("Host") != origin) return 403;
        if (req.has_header("Origin")) {
            if (req.get_header_value_count("Origin") != 1 || req.get_header_value("Origin") != "http://" + origin)
                return 403;
        }
        if (req.path == "/events") {
            if (req.method != "GET") return 405;
            if (req.get_param_value_count("token") != 1 || !sameToken(req.get_param_value("token"), options_.token))
                return 403;
            return 0;
        }
        if (req.path == "/message") {
            if (req.method != "POST") return 405;
            if (req.get_header_value_count("X-Vantorel-Page-Token") != 1 ||
                !sameToken(req.get_header_value("X-Vantorel-Page-Token"), options_.token))
                return 403;
            if (req.has_header("Content-Encoding")) return 415;
            if (mediaType(req.get_header_value("Content-Type")) != "application/json") return 415;
            if (req.has_header("Content-Length")) {
                const std::string length = req.get_header_value("Content-Length");
                unsigned long long bytes = 0;
                auto [end, error] = std::from_chars(length.data(), length.data() + length.size(), bytes);
                if (error != std::errc() || end != length.data() + length.size()) return 400;
                if (bytes > maximumMessageBytes) return 413;
            }
            return 0;
        }
        if (req.method != "GET") return 405;
        return 0;
    };

    server.set_expect_100_continue_handler([check](const httplib::Request& req, httplib::Response& res) {
        if (int status = check(req)) {
            refuse(res, status);
            return status;
        }
        return 100;
    });
    server.set_pre_routing_handler([check](const httplib::Request& req, httplib::Response& res) {
        if (int status = check(req)) {
            refuse(res, status);
            return httplib::Server::HandlerResponse::Handled;
        }
        return httplib::Server::HandlerResponse::Unhandled;
    });

    server.Get("/events", [this](const httplib::Request&, httplib::Response& res) {
        auto stream = openStream();
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, stream](std::size_t, httplib::DataSink& sink) {
                std::string chunk;
                if (!nextChunk(*stream, chunk)) return false;
                return sink.write(chunk.data(), chunk.size());
            },
            [this, stream](bool) { closeStream(stream); });
    });

    auto deliver = [this](const std::string& body, httplib::Response& res) {
        if (!json::parse(body)) {
            refuse(res, 400);
            return;
        }
        if (options_.onMessage) options_.onMessage(body);
        res.status = 204;
    };
    server.Post("/message", [deliver](const httplib::Request&, httplib::Response& res,
                                      const httplib::ContentReader& reader) {
        // The library's own limit lets a chunked body through whole: count
        // the bytes here, and stop reading at the first one too many.
        std::string body;
        bool tooLong = false;
        reader([&](const char* data, std::size_t length) {
            if (body.size() + length > maximumMessageBytes) {
                tooLong = true;
                return false;
            }
            body.append(data, length);
            return true;
        });
        if (tooLong) {
            refuse(res, 413);
            return;
        }
        deliver(body, res);
    });
    // A POST without any body.
    server.Post("/message", [deliver](const httplib::Request&, httplib::Response& res) { deliver("", res); });

    server.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
        auto file = pageFile(options_.webRoot, req.path);
        auto contents = file ? files::read(*file) : std::nullopt;
        if (!contents) {
            res.status = 404;
            return;
        }
        res.set_content(std::move(*contents), contentTypeOf(*file));
    });
}

}  // namespace vantorel::shell
