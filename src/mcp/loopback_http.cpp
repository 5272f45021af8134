#include "mcp/loopback_http.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <optional>

namespace vantorel::mcp {

namespace {

using Clock = std::chrono::steady_clock;

class Socket {
public:
    explicit Socket(int fd) : fd_(fd) {}
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    int fd() const { return fd_; }

private:
    int fd_;
};

struct Deadlines {
    std::chrono::milliseconds idle;
    Clock::time_point end;

    // Waits for events on fd; false when the time is up.
    bool wait(int fd, short events) const {
        for (;;) {
            auto now = Clock::now();
            if (now >= end) return false;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - now) + std::chrono::milliseconds(1);
            int timeout = static_cast<int>(std::min(left, idle).count());
            pollfd entry{fd, events, 0};
            int ready = ::poll(&entry, 1, timeout);
            if (ready > 0) return true;
            if (ready == 0) {
                if (std::chrono::milliseconds(timeout) >= idle) return false;
                continue;
            }
            if (errno != EINTR) return false;
        }
    }
};

struct Address {
    sockaddr_storage storage{};
    socklen_t length = 0;
};

// The addresses a configured host stands for. "localhost" is taken to mean
// the loopback interface itself, never whatever a hosts file says.
std::vector<Address> addressesOf(const std::string& host, int port) {
    std::vector<Address> out;
    auto addV4 = [&] {
        Address a;
        auto* in = reinterpret_cast<sockaddr_in*>(&a.storage);
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<uint16_t>(port));
        in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.length = sizeof(sockaddr_in);
        out.push_back(a);
    };
    auto addV6 = [&] {
        Address a;
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&a.storage);
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(port));
        in6->sin6_addr = in6addr_loopback;
        a.length = sizeof(sockaddr_in6);
        out.push_back(a);
    };
    if (host == "127.0.0.1") {
        addV4();
    } else if (host == "localhost") {
        addV4();
        addV6();
    }
    return out;
}

// A connected socket, or the reason there is none.
std::optional<int> connectTo(const Address& address, const Deadlines& deadlines, std::string& failure) {
    int fd = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        failure = std::strerror(errno);
        return std::nullopt;
    }
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) == 0) return fd;
    if (errno != EINPROGRESS) {
        failure = std::strerror(errno);
        ::close(fd);
        return std::nullopt;
    }
    if (!deadlines.wait(fd, POLLOUT)) {
        failure = "connection timed out";
        ::close(fd);
        return std::nullopt;
    }
    int error = 0;
    socklen_t length = sizeof(error);
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        failure = std::strerror(error ? error : errno);
        ::close(fd);
        return std::nullopt;
    }
    return fd;
}

std::string requestBytes(const HttpRequest& request) {
    std::string out = request.method + " " + request.target + " HTTP/1.1\r\n";
    out += "Host: " + request.host + ":" + std::to_string(request.port) + "\r\n";
    for (const auto& [name, value] : request.headers) out += name + ": " + value + "\r\n";
    if (request.body) out += "Content-Length: " + std::to_string(request.body->size()) + "\r\n";
    out += "Connection: close\r\n\r\n";
    if (request.body) out += *request.body;
    return out;
}

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

std::optional<std::size_t> decimal(std::string_view text) {
    if (text.empty() || text.size() > 18) return std::nullopt;
    std::size_t value = 0;
    for (char c : text) {
        if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
        value = value * 10 + static_cast<std::size_t>(c - '0');
    }
    return value;
}

std::optional<std::size_t> hexadecimal(std::string_view text) {
    if (text.empty() || text.size() > 15) return std::nullopt;
    std::size_t value = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9') digit = c - '0';
        else if (c >= 'a' && c <= 'f') digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') digit = c - 'A' + 10;
        else return std::nullopt;
        value = value * 16 + static_cast<std::size_t>(digit);
    }
    return value;
}

enum class Outcome { complete, needMore };

struct Head {
    int status = 0;
    std::optional<std::size_t> contentLength;
    bool chunked = false;
    std::size_t bodyStart = 0;
};

// The head of the first final reply in bytes (interim 1xx replies skipped),
// or nothing when more bytes are needed. Throws HttpProtocolError.
std::optional<Head> parseHead(std::string_view bytes) {
    std::size_t offset = 0;
    for (;;) {
        std::string_view rest = bytes.substr(offset);
        // A reply that does not even start like one is refused early, before
        // a long wait for a blank line that may never come.
        constexpr std::string_view prefix = "HTTP/1.";
        if (rest.substr(0, std::min(rest.size(), prefix.size())) != prefix.substr(0, std::min(rest.size(), prefix.size()))) {
            throw HttpProtocolError("not an HTTP reply");
        }
        auto end = rest.find("\r\n\r\n");
        if (end == std::string_view::npos) {
            if (rest.size() > 64 * 1024) throw HttpProtocolError("reply head too long");
            return std::nullopt;
        }
        std::string_view head = rest.substr(0, end);
        auto lineEnd = head.find("\r\n");
        std::string_view statusLine = head.substr(0, lineEnd);
        // "HTTP/1.x NNN[ reason]"
        if (statusLine.size() < 12 || (statusLine[7] != '0' && statusLine[7] != '1') || statusLine[8] != ' ') {
            throw HttpProtocolError("malformed status line");
        }
        auto code = decimal(statusLine.substr(9, 3));
        if (!code || *code < 100 || *code > 999 || (statusLine.size() > 12 && statusLine[12] != ' ')) {
            throw HttpProtocolError("malformed status code");
        }
        Head parsed;
        parsed.status = static_cast<int>(*code);
        std::string_view fields = lineEnd == std::string_view::npos ? std::string_view() : head.substr(lineEnd + 2);
        while (!fields.empty()) {
            auto next = fields.find("\r\n");
            std::string_view line = fields.substr(0, next);
            fields = next == std::string_view::npos ? std::string_view() : fields.substr(next + 2);
            auto colon = line.find(':');
            if (colon == std::string_view::npos || colon == 0) throw HttpProtocolError("malformed header");
            std::string name = lower(line.substr(0, colon));
            std::string_view value = trimmed(line.substr(colon + 1));
            if (name == "content-length") {
                auto length = decimal(value);
                if (!length || (parsed.contentLength && *parsed.contentLength != *length)) {
                    throw HttpProtocolError("bad Content-Length");
                }
                parsed.contentLength = length;
            } else if (name == "transfer-encoding") {
                std::string coding = lower(value);
                if (coding != "chunked") throw HttpProtocolError("unsupported Transfer-Encoding");
                parsed.chunked = true;
            }
        }
        parsed.bodyStart = offset + end + 4;
        if (parsed.status >= 100 && parsed.status < 200) {
            offset = parsed.bodyStart;
            continue;
        }
        return parsed;
    }
}

// The chunked body decoded, or nothing when more bytes are needed.
std::optional<std::string> decodeChunks(std::string_view bytes, std::size_t maximumBodyBytes) {
    std::string body;
    std::size_t offset = 0;
    for (;;) {
        auto lineEnd = bytes.find("\r\n", offset);
        if (lineEnd == std::string_view::npos) {
            if (bytes.size() - offset > 1024) throw HttpProtocolError("malformed chunk size");
            return std::nullopt;
        }
        std::string_view sizeLine = bytes.substr(offset, lineEnd - offset);
        sizeLine = trimmed(sizeLine.substr(0, sizeLine.find(';')));
        auto size = hexadecimal(sizeLine);
        if (!size) throw HttpProtocolError("malformed chunk size");
        std::size_t dataStart = lineEnd + 2;
        if (*size == 0) {
            // Trailer fields, then the closing blank line.
            auto end = bytes.find("\r\n\r\n", lineEnd);
            if (bytes.substr(dataStart, 2) == "\r\n" || end != std::string_view::npos) return body;
            return std::nullopt;
        }
        if (*size > maximumBodyBytes || body.size() + *size > maximumBodyBytes) {
            throw HttpProtocolError("reply body too large");
        }
        if (bytes.size() < dataStart + *size + 2) return std::nullopt;
        if (bytes.substr(dataStart + *size, 2) != "\r\n") throw HttpProtocolError("malformed chunk");
        body.append(bytes.substr(dataStart, *size));
        offset = dataStart + *size + 2;
    }
}

// The reply when bytes hold all of it; `closed` says the server has shut
// its side, which ends a body of unstated length.
std::optional<HttpReply> tryParse(std::string_view bytes, bool closed, std::size_t maximumBodyBytes) {
    auto head = parseHead(bytes);
    if (!head) return std::nullopt;
    std::string_view rest = bytes.substr(head->bodyStart);
    HttpReply reply;
    reply.status = head->status;
    if (head->chunked) {
        auto body = decodeChunks(rest, maximumBodyBytes);
        if (!body) return std::nullopt;
        reply.body = std::move(*body);
    } else if (head->contentLength) {
        if (*head->contentLength > maximumBodyBytes) throw HttpProtocolError("reply body too large");
        if (rest.size() < *head->contentLength) return std::nullopt;
        reply.body = std::string(rest.substr(0, *head->contentLength));
    } else {
        if (rest.size() > maximumBodyBytes) throw HttpProtocolError("reply body too large");
        if (!closed) return std::nullopt;
        reply.body = std::string(rest);
    }
    return reply;
}

}  // namespace

HttpReply parseReply(std::string_view bytes, std::size_t maximumBodyBytes) {
    if (auto reply = tryParse(bytes, true, maximumBodyBytes)) return *reply;
    throw HttpTransportError("connection closed before the reply was complete");
}

HttpReply exchange(const HttpRequest& request, const HttpLimits& limits) {
    Deadlines deadlines{limits.idle, Clock::now() + limits.total};
    auto addresses = addressesOf(request.host, request.port);
    if (addresses.empty()) throw HttpTransportError("not a loopback host");

    std::optional<int> connected;
    std::string failure;
    for (const auto& address : addresses) {
        connected = connectTo(address, deadlines, failure);
        if (connected) break;
    }
    if (!connected) throw HttpTransportError(failure);
    Socket socket(*connected);
    int one = 1;
    ::setsockopt(socket.fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));

    std::string out = requestBytes(request);
    std::size_t sent = 0;
    while (sent < out.size()) {
        ssize_t n = ::send(socket.fd(), out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<std::size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            if (!deadlines.wait(socket.fd(), POLLOUT)) throw HttpTransportError("request timed out");
            continue;
        }
        // The server may have answered and closed before reading all of a
        // large body (a refusal of its size): read what it said.
        break;
    }

    std::string in;
    char buffer[16384];
    for (;;) {
        ssize_t n = ::recv(socket.fd(), buffer, sizeof(buffer), 0);
        if (n > 0) {
            in.append(buffer, static_cast<std::size_t>(n));
            if (auto reply = tryParse(in, false, limits.maximumBodyBytes)) return *reply;
            continue;
        }
        if (n == 0) {
            if (in.empty()) throw HttpTransportError("connection closed without a reply");
            return parseReply(in, limits.maximumBodyBytes);
        }
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!deadlines.wait(socket.fd(), POLLIN)) throw HttpTransportError("reply timed out");
            continue;
        }
        if (!in.empty() && errno == ECONNRESET) {
            if (auto reply = tryParse(in, true, limits.maximumBodyBytes)) return *reply;
        }
        throw HttpTransportError(std::strerror(errno));
    }
}

}  // namespace vantorel::mcp
