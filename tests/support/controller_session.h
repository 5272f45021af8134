// Drives `vantorel-cli controller` against the bridge simulator, as the page
// and Live would: a private home with the bridge installed, the simulator on
// a free port, a /proc view that shows only this test's simulator, and the
// controller's events read line by line.
#pragma once

#include "common/process.h"
#include "support/temp_home.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace vantorel::testing {

// The simulator named "Ableton Live 12", serving the installed bridge's
// token. Its /proc entry is linked into procRoot while it runs.
class SimulatedLive {
public:
    // `arguments` are added to every start (e.g. "--capture-speed", "8").
    SimulatedLive(std::filesystem::path remoteScripts, std::filesystem::path procRoot,
                  std::vector<std::string> arguments = {});
    ~SimulatedLive();

    // Starts on `port` (0: a free one) with a set of resources/VantorelBridge/sets.
    void start(int port = 0, const std::string& set = "club-loop.json");
    // SIGKILL, as a crash would; the /proc link dangles like a vanished entry.
    void kill();
    // Any other signal (SIGSTOP and SIGCONT: Live frozen, then back).
    void signal(int number);
    int port() const { return port_; }
    bool running() const { return child_.has_value(); }

private:
    std::filesystem::path remoteScripts_;
    std::filesystem::path procRoot_;
    std::vector<std::string> arguments_;
    std::optional<process::Child> child_;
    int port_ = 0;
};

class ControllerSession {
public:
    using Json = nlohmann::json;

    // Installs the bridge in `home` and starts the simulator; the controller
    // starts with startController().
    explicit ControllerSession(const TempHome& home, const std::string& set = "club-loop.json",
                               std::vector<std::string> simulatorArguments = {});
    ~ControllerSession();

    void startController(std::vector<std::string> extraArguments = {});
    // One page message (or a {"platform":…} line), as a line on stdin.
    void send(const Json& message);
    void sendRaw(const std::string& line);
    void closeInput();
    // Waits for the process to end; its exit code, or nothing on time-out.
    std::optional<int> waitExit(std::chrono::milliseconds timeout);

    // Lines are consumed in order: waitFor skips lines until one matches and
    // returns it (the whole line); nothing when none comes in time.
    std::optional<Json> waitFor(const std::function<bool(const Json&)>& match,
                                std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // The next event of that name, its value.
    std::optional<Json> waitEvent(const std::string& event,
                                  std::chrono::milliseconds timeout = std::chrono::seconds(15));
    // Every line read after the cursor within `span`, without consuming.
    std::vector<Json> collect(std::chrono::milliseconds span);
    // Every line read since the start.
    std::vector<Json> all();
    // Names of the events among lines (platform lines left out).
    static std::vector<std::string> eventNames(const std::vector<Json>& lines);
    // Moves the cursor past everything read so far.
    void skipAll();

    // Direct request to the simulator (test-side edits, fault injection).
    Json bridge(const std::string& method, const std::string& path, const Json& body = nullptr);
    // A simulated edit by the producer in Live, then the first poll that has
    // seen it; the poll's "contextStatus" value, or nothing on time-out.
    std::optional<Json> editAndSync(const Json& edit);
    // The next event of that name whose value satisfies `match`.
    std::optional<Json> waitEventWhere(const std::string& event, const std::function<bool(const Json&)>& match,
                                       std::chrono::milliseconds timeout = std::chrono::seconds(15));

    SimulatedLive& live() { return live_; }
    const std::filesystem::path& procRoot() const { return procRoot_; }

private:
    void readLoop(int fd);

    const TempHome& home_;
    std::filesystem::path procRoot_;
    std::filesystem::path bridgeFile_;
    std::string token_;
    SimulatedLive live_;
    std::optional<process::Child> controller_;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Json> lines_;
    std::size_t cursor_ = 0;
};

}  // namespace vantorel::testing
