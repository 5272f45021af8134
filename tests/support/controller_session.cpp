#include "support/controller_session.h"

#include "common/json.h"
#include "support/cli_runner.h"

#include <httplib.h>
#include <unistd.h>

#include <csignal>
#include <stdexcept>

namespace vantorel::testing {

namespace {

std::filesystem::path bridgeSources() { return std::filesystem::path(VANTOREL_SOURCE_DIR) / "resources"; }

std::string readLine(int fd, std::chrono::milliseconds timeout) {
    std::string line;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char c = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        ssize_t n = ::read(fd, &c, 1);
        if (n <= 0) break;
        if (c == '\n') return line;
        line.push_back(c);
    }
    return line;
}

}  // namespace

// ---- Simulator -----------------------------------------------------------------

SimulatedLive::SimulatedLive(std::filesystem::path remoteScripts, std::filesystem::path procRoot,
                             std::vector<std::string> arguments)
    : remoteScripts_(std::move(remoteScripts)), procRoot_(std::move(procRoot)), arguments_(std::move(arguments)) {}

SimulatedLive::~SimulatedLive() {
    if (child_) kill();
}

void SimulatedLive::start(int port, const std::string& set) {
    std::vector<std::string> command{"/usr/bin/python3", "-m", "VantorelBridge", "--port", std::to_string(port),
                                     "--config", (remoteScripts_ / "VantorelBridge/remote_config.json").string(),
                                     "--set", (bridgeSources() / "VantorelBridge/sets" / set).string()};
    command.insert(command.end(), arguments_.begin(), arguments_.end());
    auto options = process::SpawnOptions::command(command);
    options.workingDirectory = remoteScripts_;
    options.error = process::Stream::null();
    child_ = process::Child::spawn(options);
    // "VantorelBridge VERSION listening on http://HOST:PORT"
    std::string line = readLine(child_->outputFd(), std::chrono::seconds(20));
    auto colon = line.rfind(':');
    if (line.find("listening") == std::string::npos || colon == std::string::npos)
        throw std::runtime_error("simulator did not start: " + line);
    port_ = std::stoi(line.substr(colon + 1));
    std::filesystem::create_directories(procRoot_);
    std::filesystem::create_symlink("/proc/" + std::to_string(child_->pid()),
                                    procRoot_ / std::to_string(child_->pid()));
}

void SimulatedLive::kill() {
    if (!child_) return;
    ::kill(child_->pid(), SIGKILL);
    child_->wait(std::chrono::seconds(10));
    child_.reset();
}

void SimulatedLive::signal(int number) {
    if (child_) ::kill(child_->pid(), number);
}

// ---- Controller ------------------------------------------------------------------

ControllerSession::ControllerSession(const TempHome& home, const std::string& set,
                                     std::vector<std::string> simulatorArguments)
    : home_(home),
      procRoot_(home.root() / "proc"),
      bridgeFile_(home.appData() / "bridge.json"),
      live_(home.root() / "Music/Ableton/User Library/Remote Scripts", home.root() / "proc",
            std::move(simulatorArguments)) {
    auto installed = runCli({"install-bridge"});
    if (installed.code != 0) throw std::runtime_error("install-bridge failed: " + installed.error);
    live_.start(0, set);
    Json configuration = Json::parse(readText(bridgeFile_));
    token_ = configuration["authToken"].get<std::string>();
    configuration["bridgeUrl"] = "http://127.0.0.1:" + std::to_string(live_.port());
    writeText(bridgeFile_, configuration.dump(2));
}

ControllerSession::~ControllerSession() {
    if (controller_) {
        controller_->terminate(std::chrono::milliseconds(500));
    }
    if (reader_.joinable()) reader_.join();
}

void ControllerSession::startController(std::vector<std::string> extraArguments) {
    std::vector<std::string> arguments{cliProgram().string(), "controller", "--proc-root", procRoot_.string()};
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    auto options = process::SpawnOptions::command(arguments);
    options.input = process::Stream::pipe();
    options.error = process::Stream::inherit();
    controller_ = process::Child::spawn(options);
    reader_ = std::thread([this, fd = controller_->outputFd()] { readLoop(fd); });
}

void ControllerSession::readLoop(int fd) {
    std::string pending;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(n));
        std::size_t start = 0;
        for (auto end = pending.find('\n', start); end != std::string::npos; end = pending.find('\n', start)) {
            Json line = Json::parse(pending.substr(start, end - start), nullptr, false);
            start = end + 1;
            std::lock_guard lock(mutex_);
            lines_.push_back(std::move(line));
        }
        pending.erase(0, start);
        arrived_.notify_all();
    }
}

void ControllerSession::send(const Json& message) { sendRaw(message.dump()); }

void ControllerSession::sendRaw(const std::string& line) {
    std::string out = line + "\n";
    const char* data = out.data();
    std::size_t left = out.size();
    while (left > 0) {
        ssize_t n = ::write(controller_->inputFd(), data, left);
        if (n <= 0) throw std::runtime_error("controller closed its input");
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

void ControllerSession::closeInput() { controller_->closeInput(); }

std::optional<int> ControllerSession::waitExit(std::chrono::milliseconds timeout) {
    auto status = controller_->wait(timeout);
    if (!status || !status->exited) return std::nullopt;
    return status->code;
}

std::optional<nlohmann::json> ControllerSession::waitFor(const std::function<bool(const Json&)>& match,
                                                         std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock lock(mutex_);
    for (;;) {
        while (cursor_ < lines_.size()) {
            const Json& line = lines_[cursor_++];
            if (match(line)) return line;
        }
        if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout && cursor_ >= lines_.size())
            return std::nullopt;
    }
}

std::optional<nlohmann::json> ControllerSession::waitEvent(const std::string& event,
                                                           std::chrono::milliseconds timeout) {
    auto line = waitFor([&](const Json& l) { return l.is_object() && l.value("event", "") == event; }, timeout);
    if (!line) return std::nullopt;
    return (*line)["value"];
}

std::optional<nlohmann::json> ControllerSession::waitEventWhere(const std::string& event,
                                                                const std::function<bool(const Json&)>& match,
                                                                std::chrono::milliseconds timeout) {
    auto line = waitFor(
        [&](const Json& l) { return l.is_object() && l.value("event", "") == event && match(l["value"]); }, timeout);
    if (!line) return std::nullopt;
    return (*line)["value"];
}

std::optional<nlohmann::json> ControllerSession::editAndSync(const Json& edit) {
    Json reply = bridge("POST", "/v1/sim/edit", edit);
    const Json* revision = reply.is_object() ? &reply["result"]["revision"] : nullptr;
    if (!revision || !revision->is_number_integer()) throw std::runtime_error("edit refused: " + reply.dump());
    const long long seen = revision->get<long long>();
    return waitEventWhere("contextStatus", [&](const Json& status) {
        return status.value("revision", 0LL) >= seen;
    });
}

std::vector<nlohmann::json> ControllerSession::collect(std::chrono::milliseconds span) {
    std::this_thread::sleep_for(span);
    std::lock_guard lock(mutex_);
    return std::vector<Json>(lines_.begin() + static_cast<std::ptrdiff_t>(cursor_), lines_.end());
}

std::vector<nlohmann::json> ControllerSession::all() {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::string> ControllerSession::eventNames(const std::vector<Json>& lines) {
    std::vector<std::string> names;
    for (const auto& line : lines) {
        if (line.is_object() && line.contains("event")) names.push_back(line["event"].get<std::string>());
    }
    return names;
}

void ControllerSession::skipAll() {
    std::lock_guard lock(mutex_);
    cursor_ = lines_.size();
}

nlohmann::json ControllerSession::bridge(const std::string& method, const std::string& path, const Json& body) {
    httplib::Client client("127.0.0.1", live_.port());
    client.set_read_timeout(30, 0);
    httplib::Headers headers{{"X-Vantorel-Token", token_}};
    httplib::Result result = method == "GET"
                                 ? client.Get(path, headers)
                                 : client.Post(path, headers, body.is_null() ? "{}" : body.dump(), "application/json");
    if (!result) throw std::runtime_error("simulator unreachable");
    return Json::parse(result->body, nullptr, false);
}

}  // namespace vantorel::testing
