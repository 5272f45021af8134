// An AppDelegate on a loop of the test's thread, against a fake bridge on a
// loopback server, with a hand-moved clock and recording seams.
#pragma once

#include "app/app_delegate.h"
#include "support/loopback_server.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <atomic>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace vantorel::testing {

struct RecordingChannel : WebChannel {
    std::vector<nlohmann::json> events;
    void deliver(const std::string& eventJson) override { events.push_back(nlohmann::json::parse(eventJson)); }
    std::vector<nlohmann::json> named(const std::string& name) const {
        std::vector<nlohmann::json> values;
        for (const auto& event : events)
            if (event["event"] == name) values.push_back(event["value"]);
        return values;
    }
    std::vector<std::string> names() const {
        std::vector<std::string> all;
        for (const auto& event : events) all.push_back(event["event"]);
        return all;
    }
};

struct RecordingShell : Shell {
    std::vector<std::string> calls;
    void keepPanelVisible() override { calls.push_back("keepPanelVisible"); }
    void presentPanelForLive() override { calls.push_back("presentPanelForLive"); }
    void showPanelUnlessHidden() override { calls.push_back("showPanelUnlessHidden"); }
    void hidePanel() override { calls.push_back("hidePanel"); }
    void minimize() override { calls.push_back("minimize"); }
    void setCompact(bool) override { calls.push_back("setCompact"); }
    LoginItemStatus loginItem() override { return {}; }
    bool registerLoginItem(bool) override { return true; }
    void openLoginSettings() override {}
    void chooseFolder(std::function<void(std::optional<std::filesystem::path>)> chosen) override { chosen(std::nullopt); }
    bool openDocument(const std::filesystem::path&) override { return false; }
};

struct FakeApplications : RunningApplications {
    bool running = true;
    bool isAbletonRunning() const override { return running; }
    void observe(std::function<void()>, std::function<void()>) override {}
};

// A bridge that accepts everything: each write bumps the revision and
// offers undo. Tests queue replies per path to refuse or delay.
class FakeBridge {
public:
    using Json = nlohmann::json;

    FakeBridge();
    std::string url() const { return server_.url(); }
    std::vector<RecordedRequest> requests() const { return server_.requests(); }
    std::vector<RecordedRequest> requestsTo(const std::string& path) const;

    void queue(const std::string& path, Reply reply);
    void setProject(std::optional<std::string> project);
    void setAnalysis(Json analysis);
    void setContextReply(std::optional<Json> whole);  // replaces the whole reply
    long long revision();

private:
    Reply answer(const RecordedRequest& request);

    std::mutex mutex_;
    long long revision_ = 7;
    std::optional<std::string> project_ = "Club Loop";
    Json analysis_;
    std::optional<Json> whole_;
    std::map<std::string, std::deque<Reply>> queued_;
    LoopbackServer server_;
};

class AppTest : public ::testing::Test {
protected:
    using Json = nlohmann::json;

    AppTest();
    // Connects and waits for the first accepted poll.
    void connect();
    // Turns the loop until `done` or 5 s; false on time-out.
    bool pump(const std::function<bool()>& done, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Turns the loop until the named event has been sent `count` times in all.
    bool waitEvent(const std::string& name, std::size_t count = 1);
    // One poll, waited for.
    void poll();
    void advance(std::chrono::milliseconds by) { clock_ += by.count() * 1'000'000; }
    void message(const Json& value) { app->route(value); }
    // A plan whose steps are the given actions (as the page would show them),
    // installed as pending against the current revision.
    std::string install(const std::vector<Json>& actions, const std::string& prompt = "une demande");

    TempHome home;
    FakeBridge fake;
    RecordingChannel web;
    RecordingShell shell;
    FakeApplications applications;
    MainLoop loop;
    std::atomic<long long> clock_{1'000'000'000'000};
    std::unique_ptr<AppDelegate> app;
};

}  // namespace vantorel::testing
