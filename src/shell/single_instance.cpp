#include "shell/single_instance.h"

#include "common/json.h"
#include "common/paths.h"
#include "common/version.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace vantorel::shell {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::size_t kMaximumLine = 4096;

std::string identityLine(const InstanceIdentity& identity, const std::optional<std::string>& address) {
    json::Json object = {{"pid", static_cast<long long>(identity.pid)}, {"version", identity.version}};
    if (address) object["address"] = *address;
    return json::compact(object) + "\n";
}

InstanceIdentity identityOf(const json::Json& object) {
    InstanceIdentity identity;
    identity.version = json::text(object, "version").value_or("0");
    if (identity.version.empty()) identity.version = "0";
    identity.pid = static_cast<pid_t>(json::integer(object, "pid", 0));
    return identity;
}

// One line from a socket, waiting at most `timeout` in all.
std::optional<std::string> readLine(int fd, std::chrono::milliseconds timeout) {
    std::string line;
    const auto deadline = Clock::now() + timeout;
    while (line.size() < kMaximumLine) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return std::nullopt;
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return std::nullopt;
        char c;
        ssize_t n = recv(fd, &c, 1, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return std::nullopt;
        if (c == '\n') return line;
        line.push_back(c);
    }
    return std::nullopt;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

bool peerIsUs(int fd) {
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0) return false;
    return credentials.uid == geteuid();
}

bool socketAddress(const std::filesystem::path& path, sockaddr_un& address) {
    address = {};
    address.sun_family = AF_UNIX;
    const std::string text = path.string();
    if (text.size() >= sizeof address.sun_path) return false;
    std::memcpy(address.sun_path, text.c_str(), text.size() + 1);
    return true;
}

// A folder we can trust: made by us, ours, a real folder, closed to others.
bool trustedFolder(const std::filesystem::path& folder) {
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0) return false;
    if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid()) return false;
    if ((info.st_mode & 077) != 0 && chmod(folder.c_str(), 0700) != 0) return false;
    return true;
}

bool tryLock(int fd) {
    while (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) return false;
    }
    return true;
}

bool waitForLock(int fd, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    while (true) {
        if (tryLock(fd)) return true;
        if (Clock::now() >= deadline) return false;
        std::this_thread::sleep_for(20ms);
    }
}

}  // namespace

bool preferredInstance(const InstanceIdentity& a, const InstanceIdentity& b) {
    int order = version::compare(a.version, b.version);
    if (order != 0) return order > 0;
    return a.pid < b.pid;
}

std::filesystem::path defaultInstanceFolder() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    if (runtime && runtime[0] == '/') return std::filesystem::path(runtime) / "vantorel";
    return paths::temporary() / ("vantorel-" + std::to_string(geteuid()));
}

std::unique_ptr<SingleInstance> SingleInstance::claim(const InstanceIdentity& self,
                                                      const std::filesystem::path& folder,
                                                      InstanceTimings timings) {
    std::unique_ptr<SingleInstance> instance(new SingleInstance());
    instance->self_ = self;
    if (!trustedFolder(folder)) return instance;
    instance->socketPath_ = folder / "instance.sock";
    sockaddr_un address;
    if (!socketAddress(instance->socketPath_, address)) return instance;

    const auto lockPath = folder / "instance.lock";
    instance->lockFd_ = open(lockPath.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (instance->lockFd_ < 0) return instance;

    auto listen = [&]() -> bool {
        // The lock is ours, so any socket file left there is stale.
        unlink(instance->socketPath_.c_str());
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        if (fd < 0) return false;
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0) {
            close(fd);
            return false;
        }
        instance->listenFd_ = fd;
        return true;
    };

    if (tryLock(instance->lockFd_)) {
        instance->claim_ = listen() ? Claim::only : Claim::unguarded;
        return instance;
    }

    // Someone holds the lock: ask it who it is.
    std::optional<InstanceIdentity> holder;
    const auto deadline = Clock::now() + timings.connectRetry;
    while (!holder) {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) break;
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && peerIsUs(fd) &&
            writeAll(fd, identityLine(self, std::nullopt))) {
            if (auto line = readLine(fd, timings.connectRetry)) {
                if (auto reply = json::parse(*line); reply && reply->is_object()) {
                    holder = identityOf(*reply);
                    instance->holderAddress_ = json::text(*reply, "address");
                }
            }
            close(fd);
            break;
        }
        close(fd);
        // The holder may have just quit: its lock is then free.
        if (tryLock(instance->lockFd_)) {
            instance->claim_ = listen() ? Claim::only : Claim::unguarded;
            return instance;
        }
        if (Clock::now() >= deadline) break;
        std::this_thread::sleep_for(50ms);
    }
    if (!holder) return instance;  // a holder that never answers: do not wait on it forever

    if (!preferredInstance(self, *holder)) {
        instance->claim_ = Claim::deferred;
        return instance;
    }
    // We are preferred: the holder is quitting. One that does not is ended.
    instance->holderAddress_.reset();
    bool locked = waitForLock(instance->lockFd_, timings.holderExit);
    if (!locked && holder->pid > 0) {
        kill(holder->pid, SIGTERM);
        locked = waitForLock(instance->lockFd_, timings.holderExit);
    }
    if (!locked) return instance;
    instance->claim_ = listen() ? Claim::replaced : Claim::unguarded;
    return instance;
}

SingleInstance::~SingleInstance() {
    if (source_) {
        g_source_destroy(source_);
        g_source_unref(source_);
    }
    if (listenFd_ >= 0) {
        close(listenFd_);
        unlink(socketPath_.c_str());
    }
    // Closing the descriptor releases the lock.
    if (lockFd_ >= 0) close(lockFd_);
}

void SingleInstance::serve(GMainContext* context, Handlers handlers) {
    if (listenFd_ < 0 || source_) return;
    handlers_ = std::move(handlers);
    source_ = g_unix_fd_source_new(listenFd_, G_IO_IN);
    g_source_set_callback(
        source_,
        G_SOURCE_FUNC(+[](gint fd, GIOCondition, gpointer data) -> gboolean {
            auto* self = static_cast<SingleInstance*>(data);
            while (true) {
                int connection = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
                if (connection < 0) break;
                self->answer(connection);
            }
            return G_SOURCE_CONTINUE;
        }),
        this, nullptr);
    g_source_attach(source_, context);
}

void SingleInstance::answer(int connection) {
    // A newcomer writes its line at once; a peer that does not is dropped
    // quickly so the loop is not held.
    std::optional<InstanceIdentity> newcomer;
    if (peerIsUs(connection)) {
        if (auto line = readLine(connection, 500ms)) {
            if (auto request = json::parse(*line); request && request->is_object()) newcomer = identityOf(*request);
        }
    }
    if (!newcomer) {
        close(connection);
        return;
    }
    const std::optional<std::string> address = handlers_.address ? handlers_.address() : std::nullopt;
    writeAll(connection, identityLine(self_, address));
    close(connection);
    if (preferredInstance(*newcomer, self_)) {
        if (handlers_.quit) handlers_.quit();
    } else if (handlers_.show) {
        handlers_.show();
    }
}

}  // namespace vantorel::shell
