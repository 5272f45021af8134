// The server's bridge client and the gate every tool call passes, against
// loopback stand-ins of the bridge.
#include "common/json.h"
#include "common/regex.h"
#include "mcp/bridge_client.h"
#include "mcp/loopback_http.h"
#include "mcp/server_error.h"
#include "mcp/tool_handlers.h"
#include "mcp_fixture.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>

namespace vantorel {
namespace {

using json::Json;
using testing::BridgeFixture;
using testing::RecordedRequest;
using testing::Reply;

Json call(const std::string& tool, const Json& arguments = Json::object()) {
    return VantorelMCP::callTool("vantorel_" + tool, arguments);
}

std::string configurationFailure(const std::string& url, const std::string& token = testing::kToken) {
    testing::TempHome home;
    testing::writeBridgeConfiguration(home, url, token);
    try {
        MCPBridgeClient client;
    } catch (const MCPServerError& error) {
        return std::string(MCPServerError::caseName(error.kind()));
    }
    return "";
}

TEST(MCPBridgeConfiguration, AddressRulesAreStricterThanTheApp) {
    EXPECT_EQ(configurationFailure("http://localhost:32123"), "");
    EXPECT_EQ(configurationFailure("http://127.0.0.1:1024/base"), "");
    EXPECT_EQ(configurationFailure("http://127.0.0.1:65535/"), "");
    for (auto url : {"http://127.0.0.1:80", "http://127.0.0.1:1023", "https://127.0.0.1:32123", "HTTP://127.0.0.1:32123",
                     "http://[::1]:32123", "http://127.0.0.1", "http://user@127.0.0.1:32123",
                     "http://user:pw@localhost:32123", "http://127.0.0.1:32123/?a=1", "http://127.0.0.1:32123#x",
                     "http://192.168.1.2:32123", "http://LOCALHOST:32123", "http://localhost.example:32123",
                     "127.0.0.1:32123", "not a url"}) {
        EXPECT_EQ(configurationFailure(url), "configurationInvalid") << url;
    }
    EXPECT_EQ(configurationFailure("http://127.0.0.1:32123", std::string(32, 'x')), "");
    EXPECT_EQ(configurationFailure("http://127.0.0.1:32123", std::string(31, 'x')), "configurationInvalid");
    // A token that would split the header line is no token.
    EXPECT_EQ(configurationFailure("http://127.0.0.1:32123", std::string(40, 'x') + "\r\nX-Other: 1"),
              "configurationInvalid");

    testing::TempHome home;
    testing::writeText(home.appData() / "bridge.json", "[]");
    EXPECT_THROW(MCPBridgeClient(), MCPServerError);
    EXPECT_EQ(testing::errorMessage(call("get_context")),
              "The local VantorelBridge configuration is invalid. Reinstall the bridge from Vantorel.");
    std::filesystem::remove(home.appData() / "bridge.json");
    for (auto [tool, arguments] : std::vector<std::pair<std::string, Json>>{
             {"get_session", Json::object()},
             {"play", {{"confirm", true}}},
             {"set_tempo", {{"confirm", true}, {"tempo", 120}, {"expectedRevision", 1}}}}) {
        Json result = call(tool, arguments);
        EXPECT_EQ(result["isError"], true);
        EXPECT_EQ(testing::errorMessage(result),
                  "VantorelBridge is not installed. Open Vantorel and install the Ableton bridge first.");
        EXPECT_EQ(testing::content(result)["error"]["type"], "MCPServerError");
    }
}

TEST(MCPBridgeClient, RequestsCarryTheHeadersAndExactBodies) {
    BridgeFixture bridge([](const RecordedRequest&) { return Reply{200, testing::envelope({{"revision", 9}})}; });
    // localhost is accepted and dialled on the loopback interface.
    testing::writeBridgeConfiguration(bridge.home, "http://localhost:" + std::to_string(bridge.server.port()));

    Json tempo = call("set_tempo", {{"confirm", true}, {"tempo", 124}, {"expectedRevision", 3.0}});
    EXPECT_EQ(tempo["isError"], false);
    EXPECT_EQ(testing::content(tempo), (Json{{"revision", 9}}));
    EXPECT_EQ(call("play", {{"confirm", true}})["isError"], false);
    EXPECT_EQ(call("get_context")["isError"], false);
    call("rename_track", {{"confirm", true}, {"trackIndex", 2}, {"name", "  Bass \n"}, {"expectedRevision", 4}});
    call("search_samples", {{"query", "  kick "}, {"limit", 3.0}});
    call("create_midi_track", {{"confirm", true}, {"expectedRevision", 1}, {"index", 2.0}});

    auto requests = bridge.toolRequests();
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[0].path, "/v1/tempo");
    EXPECT_EQ(Json::parse(requests[0].body), (Json{{"tempo", 124.0}, {"expectedRevision", 3}}));
    EXPECT_TRUE(Json::parse(requests[0].body)["expectedRevision"].is_number_integer());
    EXPECT_EQ(requests[1].path, "/v1/transport/play");
    EXPECT_EQ(requests[1].body, "{}");
    EXPECT_EQ(requests[2].method, "GET");
    EXPECT_EQ(requests[2].body, "");
    EXPECT_FALSE(requests[2].hasHeader("content-type"));
    EXPECT_EQ(Json::parse(requests[3].body),
              (Json{{"trackIndex", 2}, {"name", "Bass"}, {"expectedRevision", 4}, {"confirm", true}}));
    // Copied fields go to the bridge as the agent wrote them.
    EXPECT_EQ(Json::parse(requests[4].body), (Json{{"query", "  kick "}, {"limit", 3.0}}));
    EXPECT_EQ(Json::parse(requests[5].body),
              (Json{{"kind", "midi"}, {"expectedRevision", 1}, {"confirm", true}, {"index", 2.0}}));

    std::set<std::string> ids;
    for (const auto& request : bridge.server.requests()) {
        EXPECT_EQ(request.header("x-vantorel-token"), testing::kToken);
        EXPECT_EQ(request.header("accept"), "application/json");
        EXPECT_TRUE(regex::contains("^mcp-[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$",
                                    request.header("x-vantorel-request-id")))
            << request.header("x-vantorel-request-id");
        ids.insert(request.header("x-vantorel-request-id"));
        if (request.method == "POST") {
            EXPECT_EQ(request.header("content-type"), "application/json");
        }
    }
    EXPECT_EQ(ids.size(), bridge.server.requests().size());
}

TEST(MCPBridgeClient, ReplyAcceptance) {
    auto outcome = [](int status, const std::string& body) -> std::string {
        try {
            return "result:" + json::compact(acceptMCPReply(status, body));
        } catch (const MCPServerError& error) {
            return error.description();
        }
    };
    const std::string invalid = "VantorelBridge returned an invalid response.";
    EXPECT_EQ(outcome(200, R"({"ok":true,"result":{"a":1}})"), R"(result:{"a":1})");
    EXPECT_EQ(outcome(304, R"({"ok":true,"result":null})"), "result:null");
    EXPECT_EQ(outcome(399, R"({"ok":true,"result":[]})"), "result:[]");
    EXPECT_EQ(outcome(200, R"({"ok":true})"), invalid);
    EXPECT_EQ(outcome(200, ""), invalid);
    EXPECT_EQ(outcome(200, "[]"), invalid);
    EXPECT_EQ(outcome(200, "<html>"), invalid);
    EXPECT_EQ(outcome(500, R"({"ok":true,"result":{}})"), "VantorelBridge error HTTP_500: The request was rejected.");
    EXPECT_EQ(outcome(400, R"({"ok":"true","error":{"code":"INVALID_ARGUMENT","message":7}})"),
              "VantorelBridge error INVALID_ARGUMENT: The request was rejected.");
    EXPECT_EQ(outcome(200, R"({"ok":1,"result":{}})"), "VantorelBridge error HTTP_200: The request was rejected.");
    EXPECT_EQ(outcome(200, R"({"ok":true,"result":)" + std::string(100000, '[') + std::string(100000, ']') + "}"),
              invalid);
}

TEST(MCPBridgeClient, RawRepliesOverTheWire) {
    struct Row {
        const char* label;
        std::string reply;
        std::string outcome;
    } rows[] = {
        {"304 with ok true", "HTTP/1.1 304 Not Modified\r\nContent-Length: 28\r\n\r\n{\"ok\":true,\"result\":{\"x\":1}}",
         R"(result:{"x":1})"},
        {"chunked", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n{\"ok\"\r\n12\r\n:true,\"result\":[2]\r\n1\r\n}\r\n0\r\n\r\n",
         "result:[2]"},
        {"until close, after an interim reply", "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.0 200 OK\r\n\r\n{\"ok\":true,\"result\":3}",
         "result:3"},
        {"409 without a code",
         "HTTP/1.1 409 Conflict\r\nContent-Type: application/json\r\n\r\n{\"ok\":false,\"error\":{\"message\":\"Revision 3 is stale.\"}}",
         "VantorelBridge error HTTP_409: Revision 3 is stale."},
        {"200 with ok false", "HTTP/1.1 200 OK\r\nContent-Length: 12\r\n\r\n{\"ok\":false}",
         "VantorelBridge error HTTP_200: The request was rejected."},
        {"not HTTP", "SSH-2.0-OpenSSH_9.2\r\n", "VantorelBridge returned an invalid response."},
        {"no body", "HTTP/1.1 200 OK\r\nContent-Length: 0\r\n\r\n", "VantorelBridge returned an invalid response."},
        {"cut short", "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n{\"ok\":true",
         "Ableton Live is not connected to VantorelBridge. Open Ableton and wait a few seconds."},
        {"closed at once", "", "Ableton Live is not connected to VantorelBridge. Open Ableton and wait a few seconds."},
    };
    for (const auto& row : rows) {
        testing::TempHome home;
        testing::RawServer server(row.reply);
        testing::writeBridgeConfiguration(home, server.url());
        std::string got;
        try {
            got = "result:" + json::compact(MCPBridgeClient().request("/v1/context", "GET", std::nullopt, 2));
        } catch (const MCPServerError& error) {
            got = error.description();
        }
        EXPECT_EQ(got, row.outcome) << row.label;
    }
}

TEST(MCPBridgeClient, UnreachableAndSlowBridges) {
    testing::TempHome home;
    int port;
    {
        testing::RawServer closed("");  // a port that was just in use and is now free
        port = closed.port();
    }
    testing::writeBridgeConfiguration(home, "http://127.0.0.1:" + std::to_string(port));
    const std::string unreachable = "Ableton Live is not connected to VantorelBridge. Open Ableton and wait a few seconds.";
    EXPECT_EQ(testing::errorMessage(call("get_context")), unreachable);
    // Validation still comes first.
    EXPECT_EQ(testing::errorMessage(call("play")),
              "Explicit user confirmation is required. Ask the user, then call again with confirm=true.");

    BridgeFixture slow([](const RecordedRequest&) { return Reply{200, testing::envelope({}), "application/json", std::chrono::milliseconds(2500)}; });
    auto started = std::chrono::steady_clock::now();
    try {
        MCPBridgeClient().request("/v1/context", "GET", std::nullopt, 0.3);
        ADD_FAILURE() << "a slow bridge answered";
    } catch (const MCPServerError& error) {
        EXPECT_EQ(error.kind(), MCPServerErrorCase::bridgeUnreachable);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(2000));
}

TEST(MCPCompatibilityGate, OutdatedOrIncompleteBridgesBlockEveryTool) {
    BridgeFixture bridge([](const RecordedRequest&) { return Reply{200, testing::envelope({})}; });
    bridge.version = "0.17.9";
    const std::string outdated =
        "VantorelBridge 0.17.9 is outdated. Open Vantorel, reinstall the Ableton bridge, save the project and restart "
        "Ableton before using Vantorel actions.";
    EXPECT_EQ(testing::errorMessage(call("get_context")), outdated);
    EXPECT_EQ(testing::errorMessage(call("find_key")), outdated);
    EXPECT_EQ(testing::errorMessage(call("stop", {{"confirm", true}})), outdated);
    EXPECT_TRUE(bridge.toolRequests().empty());
    bridge.version = "0.17.10";
    EXPECT_EQ(call("get_context")["isError"], false);
    bridge.version = "0.18.0";
    EXPECT_EQ(call("get_context")["isError"], false);

    testing::TempHome home;
    auto gate = [&](const std::string& health) {
        testing::LoopbackServer server([&](const RecordedRequest&) { return Reply{200, health}; });
        testing::writeBridgeConfiguration(home, server.url());
        return testing::errorMessage(call("get_session"));
    };
    EXPECT_EQ(gate(testing::healthBody("0.18.0", false)),
              "VantorelBridge 0.18.0 is outdated. Open Vantorel, reinstall the Ableton bridge, save the project and "
              "restart Ableton before using Vantorel actions.");
    EXPECT_EQ(gate(testing::envelope({{"bridgeVersion", "0.18.0"}, {"capabilities", {"context.live", 3}}})),
              "VantorelBridge returned an invalid response.");
    EXPECT_EQ(gate(testing::envelope({{"capabilities", Json::array()}})), "VantorelBridge returned an invalid response.");
    EXPECT_EQ(gate(R"({"ok":false,"error":{"code":"UNAUTHORIZED","message":"Bad token."}})"),
              "VantorelBridge error UNAUTHORIZED: Bad token.");
}

}  // namespace
}  // namespace vantorel
