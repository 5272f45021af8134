#include "app_fixture.h"

#include "bridge/protocol.h"
#include "common/json.h"

namespace vantorel::testing {

using nlohmann::json;

namespace {

const char* const kToken = "abcdefghijklmnopqrstuvwxyz0123456789-_ABCDEFG";

json defaultAnalysis() {
    return json{{"tracks",
                 json::array({json{{"index", 0},
                                   {"name", "Drums"},
                                   {"selected", true},
                                   {"isMidiTrack", true},
                                   {"clipDetails", json::array({json{{"type", "midi"}, {"selected", true}}})}},
                              json{{"index", 1}, {"name", "Bass"}, {"selected", false}, {"isMidiTrack", true}}})}};
}

Reply ok(const json& result) { return Reply{200, json{{"ok", true}, {"result", result}}.dump()}; }

}  // namespace

FakeBridge::FakeBridge() : analysis_(defaultAnalysis()), server_([this](const RecordedRequest& r) { return answer(r); }) {}

Reply FakeBridge::answer(const RecordedRequest& request) {
    std::lock_guard lock(mutex_);
    auto queued = queued_.find(request.path);
    if (queued != queued_.end() && !queued->second.empty()) {
        Reply reply = queued->second.front();
        queued->second.pop_front();
        return reply;
    }
    if (request.path == "/v1/health") {
        json capabilities = json::array();
        for (auto name : bridge::requiredCapabilities) capabilities.push_back(std::string(name));
        return ok({{"bridgeVersion", "0.18.0"}, {"capabilities", capabilities}});
    }
    if (request.path == "/v1/context") {
        if (whole_) return Reply{200, json{{"ok", true}, {"result", *whole_}}.dump()};
        json session{{"revision", revision_}, {"tracks", json::array({{{"name", "Drums"}}, {{"name", "Bass"}}})}};
        if (project_) session["project"] = *project_;
        return ok({{"session", session}, {"projectAnalysis", analysis_}, {"contextAgeMs", 5}});
    }
    if (request.method == "GET") return ok(json::object());
    ++revision_;
    return ok({{"revision", revision_}, {"undoAvailable", true}});
}

std::vector<RecordedRequest> FakeBridge::requestsTo(const std::string& path) const {
    std::vector<RecordedRequest> found;
    for (auto& request : server_.requests())
        if (request.path == path) found.push_back(request);
    return found;
}

void FakeBridge::queue(const std::string& path, Reply reply) {
    std::lock_guard lock(mutex_);
    queued_[path].push_back(std::move(reply));
}

void FakeBridge::setProject(std::optional<std::string> project) {
    std::lock_guard lock(mutex_);
    project_ = std::move(project);
}

void FakeBridge::setAnalysis(json analysis) {
    std::lock_guard lock(mutex_);
    analysis_ = std::move(analysis);
}

void FakeBridge::setContextReply(std::optional<json> whole) {
    std::lock_guard lock(mutex_);
    whole_ = std::move(whole);
}

long long FakeBridge::revision() {
    std::lock_guard lock(mutex_);
    return revision_;
}

AppTest::AppTest() {
    writeText(home.appData() / "bridge.json",
              json{{"authToken", kToken}, {"bridgeUrl", fake.url()}, {"protocolVersion", 1}}.dump());
    AppSettings settings;
    settings.dataFolder = home.appData();
    settings.bridgeConfiguration = home.appData() / "bridge.json";
    settings.agents = AgentConnector({home.root() / "no-agents"}, std::nullopt);
    // Polls and retries happen when the test says so.
    settings.intervals.poll = std::chrono::hours(1);
    settings.intervals.retry = std::chrono::hours(1);
    settings.intervals.afterLaunch = std::chrono::milliseconds(10);
    settings.intervals.pollTimeoutSeconds = 1;
    settings.now = [this] { return BootClock::time_point(std::chrono::nanoseconds(clock_.load())); };
    app = std::make_unique<AppDelegate>(loop, web, shell, applications, std::move(settings));
}

bool AppTest::pump(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    return loop.runUntil(done, timeout);
}

bool AppTest::waitEvent(const std::string& name, std::size_t count) {
    return pump([&] { return web.named(name).size() >= count; });
}

void AppTest::connect() {
    std::size_t seen = web.named("contextStatus").size();
    app->connectBridge();
    ASSERT_TRUE(waitEvent("contextStatus", seen + 1));
}

void AppTest::poll() {
    app->pollNow();
    pump([&] { return !app->sessionRequestInFlight; });
}

std::string AppTest::install(const std::vector<json>& actions, const std::string& prompt) {
    json list = json::array();
    int n = 0;
    for (json action : actions) {
        action["id"] = "STEP-" + std::to_string(n++);
        if (!action.contains("title")) action["title"] = "Étape";
        if (!action.contains("detail")) action["detail"] = "Détail.";
        if (!action.contains("mode")) action["mode"] = "write";
        if (!action.contains("reversible")) action["reversible"] = true;
        list.push_back(action);
    }
    std::string planId = "PLAN-" + std::to_string(web.events.size());
    app->installPlan(json{{"planId", planId},
                          {"title", "Plan"},
                          {"intent", "Un plan."},
                          {"expectedRevision", app->currentRevision},
                          {"source", "test"},
                          {"actions", list}},
                     prompt);
    EXPECT_EQ(web.named("planResult").back()["ok"], true) << web.named("planResult").back().dump();
    return planId;
}

}  // namespace vantorel::testing
