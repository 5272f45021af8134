#include "bench_app.h"

#include "bridge/protocol.h"

#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vantorel::bench {

namespace {

const char* const kToken = "abcdefghijklmnopqrstuvwxyz0123456789-_ABCDEFG";

Json device(int index, int parameterCount) {
    Json parameters = Json::array();
    for (int p = 0; p < parameterCount; ++p) {
        parameters.push_back({{"name", "Parameter " + std::to_string(p)}, {"value", p * 0.025},
                              {"displayValue", std::to_string(p) + " %"}, {"automated", p % 7 == 0},
                              {"min", 0}, {"max", 1}});
    }
    return {{"name", "Device " + std::to_string(index)}, {"className", "PluginDevice"}, {"parameters", parameters}};
}

Json track(int index, bool selected, int parameterCount) {
    static const char* roles[] = {"drums", "bass", "lead", "pad", "fx", "vocal", "perc", "keys", "other", "sub"};
    Json clips = Json::array();
    for (int c = 0; c < 48; ++c) {
        clips.push_back({{"name", "Clip " + std::to_string(c)}, {"type", "midi"}, {"startTimeBeats", c * 16},
                         {"endTimeBeats", c * 16 + 16}, {"lengthBeats", 16}, {"playing", c == 3},
                         {"color", c}, {"notes", Json::array({36, 38, 42, 46})}});
    }
    Json devices = Json::array();
    for (int d = 0; d < 10; ++d) devices.push_back(device(d, parameterCount));
    return {{"index", index},
            {"name", "Track " + std::to_string(index + 1)},
            {"selected", selected},
            {"isMidiTrack", true},
            {"inferredRole", roles[index % 10]},
            {"hasContent", index % 3 != 0},
            {"clipDetails", clips},
            {"devices", devices},
            {"mixer", {{"volume", {{"value", 0.85}, {"displayValue", "0.0 dB"}, {"automated", false}, {"min", 0}}},
                       {"panning", {{"value", 0}, {"displayValue", "C"}, {"automated", false}}},
                       {"sends", Json::array({{{"value", 0.1}}, {{"value", 0.0}}})}}},
            {"meterWindow", {{"current", 0.4}, {"maximum", 0.9}, {"average", 0.5}, {"observedSeconds", 6},
                             {"samples", Json::array({0.1, 0.2, 0.3, 0.4})}}},
            {"inputRouting", "Ext. In"},
            {"outputRouting", "Master"},
            {"frozen", false}};
}

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

long statusKiB(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + std::strlen(key), nullptr, 10);
    }
    return 0;
}

}  // namespace

std::filesystem::path privateHome(const std::string& name) {
    char pattern[] = "/tmp/vantorel-bench-XXXXXX";
    const char* made = ::mkdtemp(pattern);
    if (!made) throw std::runtime_error("no temporary folder");
    std::filesystem::path home = std::filesystem::path(made) / name;
    for (const char* sub : {".local/share", ".config", ".cache", "run"}) std::filesystem::create_directories(home / sub);
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home / ".local/share").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / ".config").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home / ".cache").c_str(), 1);
    ::setenv("XDG_RUNTIME_DIR", (home / "run").c_str(), 1);
    return home;
}

Json largeContext(int parametersPerDevice, const std::string& project) {
    Json tracks = Json::array();
    Json names = Json::array();
    for (int i = 0; i < 64; ++i) {
        tracks.push_back(track(i, i == 5, parametersPerDevice));
        names.push_back({{"name", "Track " + std::to_string(i + 1)}});
    }
    Json returns = Json::array();
    for (int i = 0; i < 4; ++i) returns.push_back(track(100 + i, false, parametersPerDevice));
    return {{"session", {{"project", project}, {"tempo", 126}, {"revision", 42}, {"tracks", names}}},
            {"projectAnalysis",
             {{"project", project},
              {"arrangementLengthBars", 128},
              {"sectionCountFromLocators", 8},
              {"tracks", tracks},
              {"returnTracks", returns},
              {"masterTrack", track(200, false, parametersPerDevice)}}},
            {"contextAgeMs", 5}};
}

FakeBridgeProcess::FakeBridgeProcess(Handler handler) {
    void* shared = ::mmap(nullptr, sizeof(std::atomic<std::int64_t>), PROT_READ | PROT_WRITE,
                          MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (shared == MAP_FAILED) throw std::runtime_error("mmap");
    stamp_ = new (shared) std::atomic<std::int64_t>(0);
    int ports[2];
    if (::pipe(ports) != 0) throw std::runtime_error("pipe");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork");
    if (pid_ == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        ::close(ports[0]);
        httplib::Server server;
        auto serve = [&](const httplib::Request& request, httplib::Response& response) {
            BridgeReply reply = handler(request.method, request.path, request.body);
            response.status = reply.status;
            response.set_content(std::move(reply.body), "application/json");
            stamp_->store(monotonicNanoseconds());
        };
        server.Get(".*", serve);
        server.Post(".*", serve);
        int port = server.bind_to_any_port("127.0.0.1");
        if (::write(ports[1], &port, sizeof port) != static_cast<ssize_t>(sizeof port)) std::_Exit(1);
        ::close(ports[1]);
        server.listen_after_bind();
        std::_Exit(0);
    }
    ::close(ports[1]);
    if (::read(ports[0], &port_, sizeof port_) != static_cast<ssize_t>(sizeof port_)) {
        throw std::runtime_error("fake bridge did not start");
    }
    ::close(ports[0]);
}

FakeBridgeProcess::~FakeBridgeProcess() {
    if (pid_ > 0) {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    if (stamp_) ::munmap(stamp_, sizeof(std::atomic<std::int64_t>));
}

std::int64_t FakeBridgeProcess::lastReplyNanoseconds() const { return stamp_->load(); }

double FakeBridgeProcess::childCpuSeconds() const {
    std::string stat = readFile("/proc/" + std::to_string(pid_) + "/stat");
    auto close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long long ticks = 0;
    for (int n = 3; fields >> field; ++n) {
        if (n == 14 || n == 15) ticks += std::stoll(field);
        if (n == 15) break;
    }
    return static_cast<double>(ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

BridgeReply healthReply() {
    Json capabilities = Json::array();
    for (auto name : bridge::requiredCapabilities) capabilities.push_back(std::string(name));
    return okReply({{"bridgeVersion", "0.18.0"}, {"capabilities", capabilities}});
}

BridgeReply okReply(const Json& result) { return {200, Json{{"ok", true}, {"result", result}}.dump()}; }

int closedPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

void writeBridgeConfiguration(const std::filesystem::path& file, int port) {
    std::filesystem::create_directories(file.parent_path());
    std::ofstream out(file);
    out << Json{{"authToken", kToken}, {"bridgeUrl", "http://127.0.0.1:" + std::to_string(port)}, {"protocolVersion", 1}}
               .dump();
}

std::string_view eventName(const std::string& envelope) {
    constexpr std::string_view prefix = "{\"event\":\"";
    std::string_view text(envelope);
    if (text.substr(0, prefix.size()) != prefix) return {};
    text.remove_prefix(prefix.size());
    return text.substr(0, text.find('"'));
}

void CountingChannel::deliver(const std::string& eventJson) {
    ++count;
    if (onEvent) onEvent(eventName(eventJson), eventJson);
}

AppSettings settingsIn(const std::filesystem::path& home, const std::filesystem::path& bridgeFile) {
    AppSettings settings;
    settings.dataFolder = home / "data";
    std::filesystem::create_directories(settings.dataFolder);
    settings.bridgeConfiguration = bridgeFile;
    settings.agents = AgentConnector({home / "no-agents"}, std::nullopt);
    return settings;
}

void runLoop(MainLoop& loop, const bool& done, std::chrono::milliseconds limit) {
    bool timedOut = false;
    Timer check = loop.after(limit, [&] { timedOut = true; });
    g_main_context_push_thread_default(loop.context());
    while (!done && !timedOut) g_main_context_iteration(loop.context(), TRUE);
    g_main_context_pop_thread_default(loop.context());
    if (!done) {
        std::fprintf(stderr, "benchmark step did not finish within %lld ms\n", static_cast<long long>(limit.count()));
        std::exit(1);
    }
}

double threadCpuSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double processCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

long residentKiB() { return statusKiB("VmRSS:"); }
long peakResidentKiB() { return statusKiB("VmHWM:"); }

std::int64_t monotonicNanoseconds() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1'000'000'000 + t.tv_nsec;
}

Spread spread(std::vector<double> values) {
    Spread s;
    if (values.empty()) return s;
    std::sort(values.begin(), values.end());
    s.median = values[values.size() / 2];
    s.p95 = values[std::min(values.size() - 1, values.size() * 95 / 100)];
    s.max = values.back();
    double sum = 0;
    for (double v : values) sum += v;
    s.mean = sum / static_cast<double>(values.size());
    return s;
}

std::string loadAverage() {
    std::string all = readFile("/proc/loadavg");
    return "load " + all.substr(0, all.find(' '));
}

void report(const std::string& name, double value, const std::string& unit, const std::string& goal, bool met,
            const std::string& detail) {
    std::printf("%-58s %10.3f %-4s goal %-10s %-6s %s; %s\n", name.c_str(), value, unit.c_str(), goal.c_str(),
                met ? "met" : "MISSED", detail.c_str(), loadAverage().c_str());
    std::fflush(stdout);
}

}  // namespace vantorel::bench
