// An AppDelegate wired to recorders and a fake bridge on a loopback server,
// with its mirror filled by hand: the flows run for real, off the loop and
// back, without Live, the simulator or a poll.
#pragma once

#include "app/app_delegate.h"
#include "support/app_doubles.h"
#include "support/loopback_server.h"
#include "support/temp_home.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vantorel::testing {

struct RecordingWeb : WebChannel {
    std::vector<nlohmann::json> events;
    std::string lastText;  // the last event as delivered
    void deliver(const std::string& eventJson) override {
        events.push_back(nlohmann::json::parse(eventJson));
        lastText = eventJson;
    }
};


// Replies of the fake bridge by path; a path without one gets a refusal.
class FlowBridge {
public:
    using Route = std::function<Reply(const RecordedRequest&)>;
    FlowBridge();
    void on(const std::string& path, Route route);
    // {"ok": true, "result": result}
    void answer(const std::string& path, nlohmann::json result, std::chrono::milliseconds delay = {});
    std::vector<RecordedRequest> requests(const std::string& path) const;
    std::string url() const { return server_.url(); }

private:
    mutable std::mutex lock_;
    std::map<std::string, Route> routes_;
    LoopbackServer server_;
};

class FlowFixture {
public:
    FlowFixture();
    ~FlowFixture();

    // A connected bridge and a fresh mirror of a saved set named project.
    void connect(const std::string& project = "Nuit.als", nlohmann::json context = nlohmann::json::object());
    // Runs the loop until an event of that name has arrived (count of them),
    // or fails the test after 10 s.
    const nlohmann::json& waitFor(const std::string& event, std::size_t count = 1);
    std::vector<nlohmann::json> values(const std::string& event) const;
    // Runs the loop until the controller has no work left.
    void settle();

    TempHome home;
    FlowBridge bridge;
    MainLoop loop;
    RecordingWeb web;
    QuietShell shell;
    LiveRunning applications;
    BootClock::time_point clock;  // the controller's now(); tests move it
    std::unique_ptr<AppDelegate> app;
    std::filesystem::path agentFolder;
};

}  // namespace vantorel::testing
