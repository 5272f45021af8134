// A small, strict reader of the bridge's base URL. Both clients validate the
// configured address before any request is made; neither needs more than the
// parts of an absolute http URL.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vantorel::bridge {

struct Url {
    std::string scheme;  // as written: the app refuses "HTTP"
    std::optional<std::string> user;
    std::optional<std::string> password;
    std::string host;  // IPv6 without its brackets: "::1"
    bool hostIsIpv6Literal = false;
    std::optional<int> port;
    std::string path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;

    // scheme://[user[:password]@]host[:port][path][?query][#fragment], or
    // nothing when it is not such a URL (relative, empty host, bad port,
    // white space or control characters).
    static std::optional<Url> parse(std::string_view text);

    // scheme://host[:port], brackets restored around an IPv6 host.
    std::string origin() const;
    // The URL of path relative to this base: a path starting with "/"
    // replaces the base's path, query and fragment; a relative one is
    // appended to the base's folder. Nothing when path cannot be part of a URL.
    std::optional<std::string> resolve(std::string_view path) const;
};

}  // namespace vantorel::bridge
