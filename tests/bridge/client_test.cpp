#include "bridge/client.h"
#include "bridge/failure.h"
#include "bridge/protocol.h"
#include "bridge/readable.h"
#include "common/regex.h"
#include "support/loopback_server.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <set>

namespace vantorel {
namespace {

using testing::LoopbackServer;
using testing::RecordedRequest;
using testing::Reply;

const std::string kToken = "abcdefghijklmnopqrstuvwxyz0123456789-_ABCDEFG";  // 43 characters, like the installer's

std::string allCapabilities() {
    std::string list;
    for (auto name : bridge::requiredCapabilities) list += (list.empty() ? "\"" : ",\"") + std::string(name) + "\"";
    return "[" + list + "]";
}

// A client configured against a loopback server in a private home.
struct Fixture {
    testing::TempHome home;
    LoopbackServer server;
    std::optional<BridgeClient> client;

    explicit Fixture(LoopbackServer::Handler handler) : server(std::move(handler)) {
        auto file = home.appData() / "bridge.json";
        testing::writeText(file, R"({"authToken":")" + kToken + R"(","bridgeUrl":")" + server.url() + R"("})");
        client.emplace();
    }
};

// The error a call throws, as readable() words it, or "" when it succeeds.
template <typename Call>
std::string failureText(Call call) {
    try {
        call();
    } catch (const std::exception& error) {
        return readable(error);
    }
    return "";
}

TEST(BridgeReplyAcceptance, StatusOkAndResultDecide) {
    struct Row {
        const char* label;
        long status;
        const char* body;
        const char* outcome;  // "result:<json>", or the readable text
    } rows[] = {
        {"success", 200, R"({"ok":true,"result":{"revision":4}})", R"(result:{"revision":4})"},
        {"success with a scalar result", 201, R"({"ok":true,"result":null})", "result:null"},
        {"ok without result", 200, R"({"ok":true})", "Réponse invalide du bridge Ableton."},
        {"ok false with message", 200, R"({"ok":false,"error":{"code":"STALE_REVISION","message":"Stale revision."}})",
         "Stale revision."},
        {"ok false without error", 200, R"({"ok":false})", "Le bridge a refusé la commande."},
        {"message not a string", 400, R"({"ok":false,"error":{"message":7}})", "Le bridge a refusé la commande."},
        {"error not an object", 400, R"({"ok":false,"error":"bad"})", "Le bridge a refusé la commande."},
        {"500 with ok true", 500, R"({"ok":true,"result":{}})", "Le bridge a refusé la commande."},
        {"304 with ok true", 304, R"({"ok":true,"result":{}})", "Le bridge a refusé la commande."},
        {"ok the string true", 200, R"({"ok":"true","result":{}})", "Le bridge a refusé la commande."},
        {"array at the top", 200, R"([{"ok":true}])", "Réponse invalide du bridge Ableton."},
        {"not JSON", 200, "<html>busy</html>", notAnsweringText},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        std::string outcome;
        try {
            outcome = "result:" + acceptAppReply(row.status, row.body).dump();
        } catch (const std::exception& error) {
            outcome = readable(error);
        }
        EXPECT_EQ(outcome, row.outcome);
    }
}

TEST(BridgeClient, SendsTheHeadersAndBodiesOfTheProtocol) {
    Fixture fixture([](const RecordedRequest&) { return Reply{200, R"({"ok":true,"result":{}})"}; });
    fixture.client->request("/v1/context");
    fixture.client->request("/v1/transport/play", "POST", nlohmann::json::object());
    fixture.client->request("/v1/tempo", "POST", nlohmann::json{{"tempo", 124.5}, {"expectedRevision", 3}});
    auto requests = fixture.server.requests();
    ASSERT_EQ(requests.size(), 3u);

    std::set<std::string> ids;
    for (const auto& request : requests) {
        EXPECT_EQ(request.header("x-vantorel-token"), kToken);
        EXPECT_EQ(request.header("accept"), "application/json");
        std::string id = request.header("x-vantorel-request-id");
        EXPECT_TRUE(regex::contains("^desktop-[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}$", id))
            << id;
        ids.insert(id);
    }
    EXPECT_EQ(ids.size(), 3u);

    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[0].path, "/v1/context");
    EXPECT_TRUE(requests[0].body.empty());
    EXPECT_FALSE(requests[0].hasHeader("content-type"));

    EXPECT_EQ(requests[1].method, "POST");
    EXPECT_EQ(requests[1].body, "{}");
    EXPECT_EQ(requests[1].header("content-type"), "application/json");

    auto tempo = nlohmann::json::parse(requests[2].body);
    EXPECT_EQ(tempo["tempo"], 124.5);
    EXPECT_TRUE(tempo["expectedRevision"].is_number_integer());
    EXPECT_FALSE(tempo.contains("confirm"));
}

TEST(BridgeClient, CompatibilityGate) {
    struct Row {
        const char* label;
        std::string health;
        const char* outcome;
    } rows[] = {
        {"current bridge", R"({"bridgeVersion":"0.17.10","capabilities":)" + allCapabilities() + "}", ""},
        {"newer bridge with more capabilities",
         R"({"bridgeVersion":"0.18","capabilities":)" + allCapabilities().insert(1, "\"extra.thing\",") + "}", ""},
        {"outdated even when complete", R"({"bridgeVersion":"0.17.9","capabilities":)" + allCapabilities() + "}",
         "VantorelBridge 0.17.9 est encore chargé dans Live. Les actions sont bloquées pour éviter les erreurs. "
         "Enregistre ton projet, redémarre Ableton puis vérifie la connexion."},
        {"one capability missing",
         R"({"bridgeVersion":"0.17.10","capabilities":)" +
             std::string(allCapabilities()).replace(allCapabilities().find("\"clips.color.sync\""), 18, "\"x\"") + "}",
         "VantorelBridge 0.17.10 ne contient pas toutes les actions requises. Réinstalle le bridge depuis Vantorel, "
         "enregistre ton projet puis redémarre Ableton."},
        {"no version", R"({"capabilities":[]})", "Réponse invalide du bridge Ableton."},
        {"capabilities not strings", R"({"bridgeVersion":"0.17.10","capabilities":[1,2]})",
         "Réponse invalide du bridge Ableton."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        std::string health = row.health;
        Fixture fixture([health](const RecordedRequest& request) {
            EXPECT_EQ(request.path, "/v1/health");
            return Reply{200, R"({"ok":true,"result":)" + health + "}"};
        });
        EXPECT_EQ(failureText([&] { fixture.client->validateCompatibility(); }), row.outcome);
    }
}

TEST(BridgeClient, SilentOrClosedServerGivesNotAnswering) {
    std::string url;
    {
        Fixture fixture([](const RecordedRequest&) {
            return Reply{200, R"({"ok":true,"result":{}})", "application/json", std::chrono::milliseconds(1500)};
        });
        url = fixture.server.url();
        auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(failureText([&] { fixture.client->request("/v1/context", "GET", std::nullopt, 0.3); }),
                  notAnsweringText);
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1400)) << "after the timeout";
    }
    // The same address once its server has stopped: nothing listens there.
    testing::TempHome home;
    testing::writeText(home.appData() / "bridge.json", R"({"authToken":")" + kToken + R"(","bridgeUrl":")" + url + R"("})");
    try {
        BridgeClient().request("/v1/health");
        ADD_FAILURE() << "answered";
    } catch (const BridgeTransportError& error) {
        EXPECT_EQ(error.name(), "connectionRefused");
        EXPECT_EQ(readable(error), notAnsweringText);
    }
}

TEST(Readable, EveryRowOfTheTable) {
    struct Row {
        const char* label;
        BridgeFailure failure;
        const char* expected;
    } rows[] = {
        {"incompatible", BridgeFailure::incompatible("VantorelBridge 0.1 est encore chargé."),
         "VantorelBridge 0.1 est encore chargé."},
        {"group track source", BridgeFailure::remote("Only MAIN, GROUP AND RETURN TRACKS found"),
         "Je n’ai pas pu utiliser une piste de groupe comme source. Sélectionne une loop audio ou MIDI normale puis "
         "relance la création."},
        {"no arrangement clips", BridgeFailure::remote("No arrangement clips on source"),
         "Je n’ai pas pu utiliser une piste de groupe comme source. Sélectionne une loop audio ou MIDI normale puis "
         "relance la création."},
        {"note converter", BridgeFailure::remote("Boost.Python: No registered converter for NPythonClip"),
         "Ableton a refusé le format des notes MIDI. Le plan n’a pas été appliqué."},
        {"remote script error", BridgeFailure::remote("RemoteScriptError: boom"),
         "Ableton a interrompu cette action. Rien n’a été appliqué dans ton projet."},
        {"Python traceback", BridgeFailure::remote("Traceback (most recent call last): ..."),
         "Ableton a interrompu cette action. Rien n’a été appliqué dans ton projet."},
        {"other message unchanged", BridgeFailure::remote("Track Index 9 Is Out Of Range"),
         "Track Index 9 Is Out Of Range"},
        {"configuration missing", BridgeFailure(BridgeFailureCase::configurationMissing),
         "Configuration locale introuvable. Réinstalle VantorelBridge."},
        {"configuration invalid", BridgeFailure(BridgeFailureCase::configurationInvalid), "Configuration locale invalide."},
        {"invalid response", BridgeFailure(BridgeFailureCase::invalidResponse), "Réponse invalide du bridge Ableton."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(readable(row.failure), row.expected);
    }
    EXPECT_EQ(readable(std::runtime_error("connection reset")), notAnsweringText);
    EXPECT_EQ(readable(std::exception_ptr()), notAnsweringText);
}

}  // namespace
}  // namespace vantorel
