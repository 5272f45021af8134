// Whatever a client writes, each line with an id gets exactly one response
// line that parses as a JSON-RPC response, notifications get none, and the
// handler always returns so the loop reaches the end of input.
#include "common/json.h"
#include "mcp/frame.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string_view>

namespace {

void require(bool condition) {
    if (!condition) __builtin_trap();
}

void checkLine(std::string_view line) {
    auto response = vantorel::VantorelMCPMain::handleLine(line);
    auto request = vantorel::json::parse(line);
    bool notification = vantorel::json::nestingWithin(line) && request && request->is_object() && !request->contains("id") &&
                        vantorel::json::text(*request, "method").has_value();
    require(notification != response.has_value());
    if (!response) return;
    require(response->find('\n') == std::string::npos);
    auto parsed = vantorel::json::parse(*response);
    require(parsed && parsed->is_object());
    require((*parsed)["jsonrpc"] == "2.0");
    require(parsed->contains("result") != parsed->contains("error"));
    if (request && request->is_object() && request->contains("id")) require((*parsed)["id"] == (*request)["id"]);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // A home without bridge.json: tool calls end at the configuration, never
    // on the network.
    static std::filesystem::path home = std::filesystem::temp_directory_path() / "vantorel-mcp-fuzz-home";
    setenv("HOME", home.c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    while (true) {
        auto newline = input.find('\n');
        checkLine(input.substr(0, newline));
        if (newline == std::string_view::npos) break;
        input.remove_prefix(newline + 1);
    }
    return 0;
}
