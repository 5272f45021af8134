// One Vantorel per user. The first instance holds a lock file for its whole
// life and answers newcomers on a Unix socket beside it; a newcomer tells its
// version and process id and learns the holder's. The preferred instance
// (higher version, numeric-aware, then lower process id) stays: either the
// holder shows its panel (or the newcomer prints the holder's browser
// address) and the newcomer leaves, or the holder quits and the newcomer
// takes the lock.
//
// The folder is $XDG_RUNTIME_DIR/vantorel, else $TMPDIR/vantorel-UID, mode
// 0700. A folder that is a link or belongs to someone else is never used: the
// app then launches unguarded rather than trust it.
#pragma once

#include <glib.h>
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace vantorel::shell {

struct InstanceIdentity {
    std::string version;  // "0" when unknown
    pid_t pid = 0;
};

// Whether `a` is preferred over `b`.
bool preferredInstance(const InstanceIdentity& a, const InstanceIdentity& b);

std::filesystem::path defaultInstanceFolder();

struct InstanceTimings {
    std::chrono::milliseconds connectRetry{2000};  // while the holder binds its socket
    std::chrono::milliseconds holderExit{5000};    // for a holder asked to quit
};

class SingleInstance {
public:
    enum class Claim {
        only,         // we hold the lock
        replaced,     // a preferred newcomer: the older holder quit, we hold the lock
        unguarded,    // the folder cannot be trusted or the holder never answered
        deferred,     // the holder is preferred: exit 0
    };

    // Claims the instance for `self`. When deferred, `holderAddress` is the
    // holder's browser address if it has one.
    static std::unique_ptr<SingleInstance> claim(const InstanceIdentity& self,
                                                 const std::filesystem::path& folder = defaultInstanceFolder(),
                                                 InstanceTimings timings = {});
    ~SingleInstance();
    SingleInstance(const SingleInstance&) = delete;
    SingleInstance& operator=(const SingleInstance&) = delete;

    Claim result() const { return claim_; }
    const std::optional<std::string>& holderAddress() const { return holderAddress_; }

    struct Handlers {
        // A newcomer deferred to us: present the panel.
        std::function<void()> show;
        // A preferred newcomer asked us to leave: quit as from the menu.
        std::function<void()> quit;
        // Our browser address, given to newcomers that defer.
        std::function<std::optional<std::string>()> address;
    };
    // Answers newcomers on `context` (only once the lock is held).
    void serve(GMainContext* context, Handlers handlers);

private:
    SingleInstance() = default;
    void answer(int connection);

    InstanceIdentity self_;
    Claim claim_ = Claim::unguarded;
    std::optional<std::string> holderAddress_;
    std::filesystem::path socketPath_;
    int lockFd_ = -1;
    int listenFd_ = -1;
    GSource* source_ = nullptr;
    Handlers handlers_;
};

}  // namespace vantorel::shell
