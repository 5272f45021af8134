// Child processes started from an argument vector, never through a shell.
//
// Each child runs in its own process group so that terminating it also ends
// whatever it started (an agent starts its tool servers). A Child that is
// destroyed while its process still runs terminates it: no child is ever
// left running behind the caller.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel::process {

struct Stream {
    enum class Kind { inherit, null, pipe, file };
    Kind kind = Kind::null;
    std::filesystem::path path;  // for Kind::file: truncated for output, read for input

    static Stream inherit() { return {Kind::inherit, {}}; }
    static Stream null() { return {Kind::null, {}}; }
    static Stream pipe() { return {Kind::pipe, {}}; }
    static Stream file(std::filesystem::path path) { return {Kind::file, std::move(path)}; }
};

struct SpawnOptions {
    std::vector<std::string> arguments;  // arguments[0] is the executable's path
    Stream input = Stream::null();
    Stream output = Stream::pipe();
    Stream error = Stream::pipe();
    std::optional<std::filesystem::path> workingDirectory;
    // The whole environment as "NAME=value"; the caller's when absent.
    std::optional<std::vector<std::string>> environment;

    static SpawnOptions command(std::vector<std::string> arguments) {
        SpawnOptions options;
        options.arguments = std::move(arguments);
        return options;
    }
};

struct ExitStatus {
    bool exited = false;  // ended by exit(); else killed by `signal`
    int code = 0;
    int signal = 0;
    bool success() const { return exited && code == 0; }
};

class Child {
public:
    // Starts the process; throws std::system_error when it cannot be started
    // (missing executable, no permission...).
    static Child spawn(const SpawnOptions& options);

    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    pid_t pid() const { return pid_; }
    // Pipe ends for Stream::pipe streams, -1 otherwise; owned by the Child.
    int inputFd() const { return input_; }
    int outputFd() const { return output_; }
    int errorFd() const { return error_; }

    // Writes all of data to the input pipe and closes it; a child that stops
    // reading early is not an error.
    void writeInputAndClose(std::string_view data);
    void closeInput();

    // Waits until the process ends or the timeout passes (nothing then).
    std::optional<ExitStatus> wait(std::chrono::milliseconds timeout);
    std::optional<ExitStatus> tryWait();
    // SIGTERM to the process group, SIGKILL after the grace period; reaps it.
    ExitStatus terminate(std::chrono::milliseconds grace = std::chrono::milliseconds(2000));

    bool running() const { return pid_ > 0 && !status_; }

private:
    Child() = default;
    void release();

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int input_ = -1;
    int output_ = -1;
    int error_ = -1;
    std::optional<ExitStatus> status_;
};

struct RunResult {
    std::optional<ExitStatus> status;  // empty when the time limit ended it
    bool timedOut = false;
    std::string output;
    std::string error;
};

// Starts the process, feeds it input, collects piped output and error while
// it runs, and waits at most `timeout`; on time-out the process is
// terminated. Output and error streams set to pipe are captured.
RunResult run(SpawnOptions options, std::string_view input, std::chrono::milliseconds timeout);

// The full path of an executable found in the folders of PATH, if any.
std::optional<std::filesystem::path> findInPath(std::string_view name);

}  // namespace vantorel::process
