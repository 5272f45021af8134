#include "app/flow_fixture.h"

#include "common/json.h"

#include <gtest/gtest.h>

namespace vantorel::testing {

FlowBridge::FlowBridge()
    : server_([this](const RecordedRequest& request) {
          Route route;
          {
              std::lock_guard<std::mutex> guard(lock_);
              auto found = routes_.find(request.path);
              if (found != routes_.end()) route = found->second;
          }
          if (!route) {
              return Reply{404, R"({"ok": false, "error": {"code": "not_found", "message": "Chemin inconnu."}})"};
          }
          return route(request);
      }) {}

void FlowBridge::on(const std::string& path, Route route) {
    std::lock_guard<std::mutex> guard(lock_);
    routes_[path] = std::move(route);
}

void FlowBridge::answer(const std::string& path, nlohmann::json result, std::chrono::milliseconds delay) {
    std::string body = nlohmann::json{{"ok", true}, {"result", std::move(result)}}.dump();
    on(path, [body, delay](const RecordedRequest&) { return Reply{200, body, "application/json", delay}; });
}

std::vector<RecordedRequest> FlowBridge::requests(const std::string& path) const {
    std::vector<RecordedRequest> matching;
    for (auto& request : server_.requests()) {
        if (request.path == path) matching.push_back(request);
    }
    return matching;
}

FlowFixture::FlowFixture() : clock(BootClock::now()) {
    agentFolder = home.root() / "agents";
    std::filesystem::create_directories(agentFolder);
    AppSettings settings;
    settings.dataFolder = home.appData();
    settings.bridgeConfiguration = home.root() / "bridge.json";
    settings.agents = AgentConnector({agentFolder}, std::nullopt);
    settings.agentTimeLimitSeconds = 10;
    settings.now = [this] { return clock; };
    writeText(settings.bridgeConfiguration,
              nlohmann::json{{"bridgeUrl", bridge.url()}, {"authToken", std::string(40, 't')}}.dump());
    app = std::make_unique<AppDelegate>(loop, web, shell, applications, std::move(settings));
}

FlowFixture::~FlowFixture() {
    settle();
    app.reset();
}

void FlowFixture::connect(const std::string& project, nlohmann::json context) {
    app->bridge = std::make_shared<const BridgeClient>(app->settings().bridgeConfiguration);
    app->currentSnapshot = nlohmann::json{{"project", project}, {"tempo", 120}, {"revision", 7}};
    app->currentRevision = 7;
    app->currentContext = std::make_shared<nlohmann::json>(std::move(context));
    app->lastContextUpdatedAt = clock;
}

const nlohmann::json& FlowFixture::waitFor(const std::string& event, std::size_t count) {
    static const nlohmann::json missing;
    bool arrived = loop.runUntil([&] { return values(event).size() >= count; }, std::chrono::seconds(10));
    EXPECT_TRUE(arrived) << "no " << event << " among " << nlohmann::json(web.events).dump();
    if (!arrived) return missing;
    std::size_t seen = 0;
    for (const auto& e : web.events) {
        if (e["event"] == event && ++seen == count) return e["value"];
    }
    return missing;
}

std::vector<nlohmann::json> FlowFixture::values(const std::string& event) const {
    std::vector<nlohmann::json> found;
    for (const auto& e : web.events) {
        if (e["event"] == event) found.push_back(e["value"]);
    }
    return found;
}

void FlowFixture::settle() {
    EXPECT_TRUE(loop.runUntil([&] { return !app || !app->busy(); }, std::chrono::seconds(20)));
}

}  // namespace vantorel::testing
