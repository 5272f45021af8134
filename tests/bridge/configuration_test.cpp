#include "bridge/configuration.h"
#include "bridge/failure.h"
#include "bridge/readable.h"
#include "support/expect_error.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

namespace vantorel {
namespace {

const std::string token32(32, 't');

std::string configurationText(const std::string& url, const std::string& token) {
    return R"({"authToken":")" + token + R"(","bridgeUrl":")" + url + R"(","protocolVersion":1})";
}

struct Row {
    const char* label;
    std::string text;
    bool accepted;
};

TEST(AppBridgeConfiguration, ValidatesLoopbackPlainHttpAndLongToken) {
    // 31 letters and one "e" + combining acute: 33 code points, 32 characters.
    const std::string token32Graphemes = std::string(31, 'a') + "e\xCC\x81";
    // 30 letters and one decomposed "é": 32 code points, 31 characters.
    const std::string token31Graphemes = std::string(30, 'a') + "e\xCC\x81";
    const Row rows[] = {
        {"installer's default", configurationText("http://127.0.0.1:32123", token32), true},
        {"IPv6 loopback", configurationText("http://[::1]:32123", token32), true},
        {"path on the base", configurationText("http://127.0.0.1:32123/bridge/", token32), true},
        {"localhost is the MCP server's, not the app's", configurationText("http://localhost:32123", token32), false},
        {"upper-case scheme", configurationText("HTTP://127.0.0.1:32123", token32), false},
        {"https", configurationText("https://127.0.0.1:32123", token32), false},
        {"another host", configurationText("http://192.168.1.2:32123", token32), false},
        {"no scheme", configurationText("127.0.0.1:32123", token32), false},
        {"token of 31 characters", configurationText("http://127.0.0.1:32123", std::string(31, 't')), false},
        {"32 characters counted as graphemes", configurationText("http://127.0.0.1:32123", token32Graphemes), true},
        {"31 graphemes in more bytes", configurationText("http://127.0.0.1:32123", token31Graphemes), false},
        {"array", "[]", false},
        {"not JSON", "bridgeUrl=http://127.0.0.1", false},
        {"token not a string", R"({"authToken":123,"bridgeUrl":"http://127.0.0.1:32123"})", false},
        {"missing url", R"({"authToken":")" + token32 + R"("})", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        testing::TempHome home;
        auto file = home.root() / "bridge.json";
        testing::writeText(file, row.text);
        if (row.accepted) {
            EXPECT_NO_THROW(AppBridgeConfiguration::load(file));
        } else {
            EXPECT_ERROR((void)AppBridgeConfiguration::load(file), BridgeFailure, BridgeFailureCase::configurationInvalid,
                         "Configuration locale invalide.");
        }
    }
}

TEST(AppBridgeConfiguration, MissingFileIsConfigurationMissing) {
    testing::TempHome home;
    // A folder in its place cannot be read either.
    std::filesystem::create_directories(home.root() / "folder.json");
    for (const char* name : {"absent.json", "folder.json"}) {
        EXPECT_ERROR((void)AppBridgeConfiguration::load(home.root() / name), BridgeFailure,
                     BridgeFailureCase::configurationMissing,
                     "Configuration locale introuvable. Réinstalle VantorelBridge.");
    }
}

TEST(BridgeUrl, ResolvesVersionedPathsAgainstTheBase) {
    auto base = bridge::Url::parse("http://127.0.0.1:32123/old/base?x=1#f");
    ASSERT_TRUE(base);
    EXPECT_EQ(base->resolve("/v1/context"), "http://127.0.0.1:32123/v1/context");
    EXPECT_EQ(base->resolve("v1/context"), "http://127.0.0.1:32123/old/v1/context");
    EXPECT_FALSE(base->resolve("/v1/con text"));
    EXPECT_FALSE(base->resolve("//evil.example/v1"));
    auto v6 = bridge::Url::parse("http://[::1]:32123");
    ASSERT_TRUE(v6);
    EXPECT_EQ(v6->host, "::1");
    EXPECT_EQ(v6->resolve("/v1/health"), "http://[::1]:32123/v1/health");
}

TEST(BridgeUrl, RefusesWhatIsNotAnAbsoluteUrl) {
    for (const char* text : {"", "http://", "http://:80", "http://127.0.0.1:99999", "http://127.0.0.1:", "http:/x",
                             "http://[::1", "http://127.0.0.1 :80", "1http://x"}) {
        SCOPED_TRACE(text);
        EXPECT_FALSE(bridge::Url::parse(text));
    }
    auto full = bridge::Url::parse("http://user:pw@localhost:8080/p?q=1#frag");
    ASSERT_TRUE(full);
    EXPECT_EQ(full->user, "user");
    EXPECT_EQ(full->password, "pw");
    EXPECT_EQ(full->host, "localhost");
    EXPECT_EQ(full->port, 8080);
    EXPECT_EQ(full->path, "/p");
    EXPECT_EQ(full->query, "q=1");
    EXPECT_EQ(full->fragment, "frag");
}

}  // namespace
}  // namespace vantorel
