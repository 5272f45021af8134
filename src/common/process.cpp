#include "common/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <thread>

extern char** environ;

namespace vantorel::process {

namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(int error, const std::string& what) {
    throw std::system_error(error, std::generic_category(), what);
}

void closeFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

ExitStatus decode(int raw) {
    ExitStatus status;
    if (WIFEXITED(raw)) {
        status.exited = true;
        status.code = WEXITSTATUS(raw);
    } else if (WIFSIGNALED(raw)) {
        status.signal = WTERMSIG(raw);
    }
    return status;
}

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    return -1;
#endif
}

struct FileActions {
    posix_spawn_file_actions_t actions;
    FileActions() { posix_spawn_file_actions_init(&actions); }
    ~FileActions() { posix_spawn_file_actions_destroy(&actions); }
};

struct Pipe {
    int read = -1;
    int write = -1;
    ~Pipe() {
        closeFd(read);
        closeFd(write);
    }
};

void setNonBlocking(int fd) { ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK); }

// Writing to a child that stopped reading raises SIGPIPE, which would end
// the whole program: the signal stays blocked on this thread while it
// writes, and one left pending is dropped before the mask is restored.
class PipeSignalBlock {
public:
    PipeSignalBlock() {
        sigemptyset(&block_);
        sigaddset(&block_, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &block_, &previous_);
    }
    ~PipeSignalBlock() {
        timespec zero{0, 0};
        sigtimedwait(&block_, nullptr, &zero);
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    PipeSignalBlock(const PipeSignalBlock&) = delete;
    PipeSignalBlock& operator=(const PipeSignalBlock&) = delete;

private:
    sigset_t block_;
    sigset_t previous_;
};

}  // namespace

Child Child::spawn(const SpawnOptions& options) {
    if (options.arguments.empty()) fail(EINVAL, "spawn: no program");
    FileActions files;
    Pipe in, out, err;
    auto prepare = [&](const Stream& stream, int target, Pipe& pipe, bool isInput) {
        switch (stream.kind) {
            case Stream::Kind::inherit:
                break;
            case Stream::Kind::null:
                posix_spawn_file_actions_addopen(&files.actions, target, "/dev/null", isInput ? O_RDONLY : O_WRONLY, 0);
                break;
            case Stream::Kind::file:
                posix_spawn_file_actions_addopen(&files.actions, target, stream.path.c_str(),
                                                 isInput ? O_RDONLY : (O_WRONLY | O_CREAT | O_TRUNC), 0600);
                break;
            case Stream::Kind::pipe: {
                int ends[2];
                if (::pipe2(ends, O_CLOEXEC) != 0) fail(errno, "pipe");
                pipe.read = ends[0];
                pipe.write = ends[1];
                posix_spawn_file_actions_adddup2(&files.actions, isInput ? pipe.read : pipe.write, target);
                break;
            }
        }
    };
    prepare(options.input, STDIN_FILENO, in, true);
    prepare(options.output, STDOUT_FILENO, out, false);
    prepare(options.error, STDERR_FILENO, err, false);
    if (options.workingDirectory) {
        posix_spawn_file_actions_addchdir_np(&files.actions, options.workingDirectory->c_str());
    }

    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGINT);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);

    std::vector<char*> argv;
    for (const auto& argument : options.arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    if (options.environment) {
        for (const auto& entry : *options.environment) envp.push_back(const_cast<char*>(entry.c_str()));
        envp.push_back(nullptr);
    }

    pid_t pid = -1;
    int error = posix_spawn(&pid, argv[0], &files.actions, &attributes, argv.data(),
                            options.environment ? envp.data() : environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) fail(error, "spawn " + options.arguments[0]);

    Child child;
    child.pid_ = pid;
    child.pidfd_ = openPidfd(pid);
    if (options.input.kind == Stream::Kind::pipe) {
        child.input_ = in.write;
        in.write = -1;
    }
    if (options.output.kind == Stream::Kind::pipe) {
        child.output_ = out.read;
        out.read = -1;
    }
    if (options.error.kind == Stream::Kind::pipe) {
        child.error_ = err.read;
        err.read = -1;
    }
    return child;
}

Child::Child(Child&& other) noexcept { *this = std::move(other); }

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        release();
        pid_ = other.pid_;
        pidfd_ = other.pidfd_;
        input_ = other.input_;
        output_ = other.output_;
        error_ = other.error_;
        status_ = other.status_;
        other.pid_ = -1;
        other.pidfd_ = other.input_ = other.output_ = other.error_ = -1;
        other.status_.reset();
    }
    return *this;
}

Child::~Child() { release(); }

void Child::release() {
    if (pid_ > 0 && !status_) terminate(std::chrono::milliseconds(500));
    closeFd(input_);
    closeFd(output_);
    closeFd(error_);
    closeFd(pidfd_);
    pid_ = -1;
}

void Child::writeInputAndClose(std::string_view data) {
    if (input_ < 0) return;
    PipeSignalBlock pipeSignal;
    const char* at = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        ssize_t written = ::write(input_, at, left);
        if (written < 0) {
            if (errno == EINTR) continue;
            break;  // EPIPE: the child stopped reading
        }
        at += written;
        left -= static_cast<std::size_t>(written);
    }
    closeInput();
}

void Child::closeInput() { closeFd(input_); }

std::optional<ExitStatus> Child::tryWait() {
    if (status_) return status_;
    if (pid_ <= 0) return std::nullopt;
    int raw = 0;
    pid_t done = ::waitpid(pid_, &raw, WNOHANG);
    if (done == pid_) {
        status_ = decode(raw);
        // The group may outlive its leader; end the leftovers too.
        ::kill(-pid_, SIGKILL);
    } else if (done < 0 && errno == ECHILD) {
        status_ = ExitStatus{};
    }
    return status_;
}

std::optional<ExitStatus> Child::wait(std::chrono::milliseconds timeout) {
    auto deadline = Clock::now() + timeout;
    while (true) {
        if (auto status = tryWait()) return status;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) return std::nullopt;
        if (pidfd_ >= 0) {
            pollfd entry{pidfd_, POLLIN, 0};
            ::poll(&entry, 1, static_cast<int>(std::min<long long>(left.count(), 1000)));
        } else {
            std::this_thread::sleep_for(std::min(left, std::chrono::milliseconds(5)));
        }
    }
}

ExitStatus Child::terminate(std::chrono::milliseconds grace) {
    if (auto status = tryWait()) return *status;
    ::kill(-pid_, SIGTERM);
    ::kill(pid_, SIGTERM);
    if (auto status = wait(grace)) return *status;
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    int raw = 0;
    while (::waitpid(pid_, &raw, 0) < 0 && errno == EINTR) {
    }
    status_ = decode(raw);
    return *status_;
}

RunResult run(SpawnOptions options, std::string_view input, std::chrono::milliseconds timeout) {
    options.input = Stream::pipe();
    Child child = Child::spawn(options);
    auto deadline = Clock::now() + timeout;
    RunResult result;
    std::size_t written = 0;
    int inputFd = child.inputFd();
    if (inputFd >= 0) setNonBlocking(inputFd);
    if (input.empty()) child.closeInput();
    int outputFd = child.outputFd();
    int errorFd = child.errorFd();

    char buffer[16384];
    {
        PipeSignalBlock pipeSignal;
        while (true) {
            std::vector<pollfd> watched;
            if (child.inputFd() >= 0) watched.push_back({child.inputFd(), POLLOUT, 0});
            if (outputFd >= 0) watched.push_back({outputFd, POLLIN, 0});
            if (errorFd >= 0) watched.push_back({errorFd, POLLIN, 0});
            if (watched.empty()) break;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                result.timedOut = true;
                break;
            }
            int ready = ::poll(watched.data(), watched.size(), static_cast<int>(left.count()));
            if (ready < 0 && errno != EINTR) break;
            for (const auto& entry : watched) {
                if (entry.revents == 0) continue;
                if (entry.fd == child.inputFd()) {
                    ssize_t n = ::write(entry.fd, input.data() + written, input.size() - written);
                    if (n > 0) written += static_cast<std::size_t>(n);
                    if ((n < 0 && errno != EAGAIN && errno != EINTR) || written >= input.size() ||
                        (entry.revents & (POLLERR | POLLHUP))) {
                        child.closeInput();
                    }
                    continue;
                }
                ssize_t n = ::read(entry.fd, buffer, sizeof buffer);
                if (n > 0) {
                    (entry.fd == outputFd ? result.output : result.error).append(buffer, static_cast<std::size_t>(n));
                } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                    (entry.fd == outputFd ? outputFd : errorFd) = -1;
                }
            }
        }
    }

    if (!result.timedOut) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        result.status = child.wait(std::max(left, std::chrono::milliseconds(0)));
        if (!result.status) result.timedOut = true;
    }
    if (result.timedOut) {
        child.terminate();
        result.status.reset();
    }
    return result;
}

std::optional<std::filesystem::path> findInPath(std::string_view name) {
    if (name.find('/') != std::string_view::npos) return std::filesystem::path(name);
    const char* path = std::getenv("PATH");
    std::string folders = path ? path : "/usr/local/bin:/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= folders.size()) {
        std::size_t end = folders.find(':', start);
        if (end == std::string::npos) end = folders.size();
        std::string folder = folders.substr(start, end - start);
        if (!folder.empty()) {
            std::filesystem::path candidate = std::filesystem::path(folder) / name;
            if (::access(candidate.c_str(), X_OK) == 0 && !std::filesystem::is_directory(candidate)) return candidate;
        }
        start = end + 1;
    }
    return std::nullopt;
}

}  // namespace vantorel::process
