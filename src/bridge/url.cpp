#include "bridge/url.h"

#include <cctype>

namespace vantorel::bridge {

namespace {

bool forbidden(char c) {
    unsigned char u = static_cast<unsigned char>(c);
    return u <= 0x20 || u == 0x7F || c == '\\' || c == '"' || c == '<' || c == '>';
}

bool validScheme(std::string_view scheme) {
    if (scheme.empty() || !std::isalpha(static_cast<unsigned char>(scheme[0]))) return false;
    for (char c : scheme) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.') return false;
    }
    return true;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
    for (char c : text) {
        if (forbidden(c)) return std::nullopt;
    }
    auto colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    Url url;
    url.scheme = std::string(text.substr(0, colon));
    if (!validScheme(url.scheme)) return std::nullopt;
    std::string_view rest = text.substr(colon + 1);
    if (rest.substr(0, 2) != "//") return std::nullopt;
    rest.remove_prefix(2);

    if (auto hash = rest.find('#'); hash != std::string_view::npos) {
        url.fragment = std::string(rest.substr(hash + 1));
        rest = rest.substr(0, hash);
    }
    if (auto question = rest.find('?'); question != std::string_view::npos) {
        url.query = std::string(rest.substr(question + 1));
        rest = rest.substr(0, question);
    }
    auto slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    url.path = slash == std::string_view::npos ? std::string() : std::string(rest.substr(slash));

    if (auto at = authority.rfind('@'); at != std::string_view::npos) {
        std::string_view info = authority.substr(0, at);
        authority = authority.substr(at + 1);
        auto separator = info.find(':');
        url.user = std::string(info.substr(0, separator));
        if (separator != std::string_view::npos) url.password = std::string(info.substr(separator + 1));
    }
    std::string_view portText;
    if (!authority.empty() && authority.front() == '[') {
        auto close = authority.find(']');
        if (close == std::string_view::npos) return std::nullopt;
        url.host = std::string(authority.substr(1, close - 1));
        url.hostIsIpv6Literal = true;
        for (char c : url.host) {
            if (!std::isxdigit(static_cast<unsigned char>(c)) && c != ':' && c != '.') return std::nullopt;
        }
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after.front() != ':') return std::nullopt;
            portText = after.substr(1);
            if (portText.empty()) return std::nullopt;
        }
    } else {
        auto separator = authority.rfind(':');
        url.host = std::string(authority.substr(0, separator));
        if (separator != std::string_view::npos) {
            portText = authority.substr(separator + 1);
            if (portText.empty()) return std::nullopt;
        }
        if (url.host.find('[') != std::string::npos || url.host.find(']') != std::string::npos) return std::nullopt;
    }
    if (url.host.empty()) return std::nullopt;
    if (!portText.empty()) {
        if (portText.size() > 5) return std::nullopt;
        int port = 0;
        for (char c : portText) {
            if (!std::isdigit(static_cast<unsigned char>(c))) return std::nullopt;
            port = port * 10 + (c - '0');
        }
        if (port > 65535) return std::nullopt;
        url.port = port;
    }
    return url;
}

std::string Url::origin() const {
    std::string out = scheme + "://";
    out += hostIsIpv6Literal ? "[" + host + "]" : host;
    if (port) out += ":" + std::to_string(*port);
    return out;
}

std::optional<std::string> Url::resolve(std::string_view relative) const {
    for (char c : relative) {
        if (forbidden(c) || c == '#') return std::nullopt;
    }
    if (relative.find("//") == 0) return std::nullopt;
    if (!relative.empty() && relative.front() == '/') return origin() + std::string(relative);
    std::string folder = path.empty() ? "/" : path.substr(0, path.rfind('/') + 1);
    return origin() + folder + std::string(relative);
}

}  // namespace vantorel::bridge
