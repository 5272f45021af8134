// The controller's one event loop (a GLib main context), in the GUI and
// headless alike.
//
// All controller state is touched on the loop's thread only. Background work
// runs in one of two lanes and hands its result back to the loop before it
// touches state; timers fire on the loop.
//
// Lanes: an agent run may take 150 s, an arrangement build 95 s, a folder
// scan minutes. Were the 2 s context poll queued behind them in one pool, the
// mirror would age out while Live answers fine; short, bounded work (context
// polls, health checks, /proc scans) therefore has a lane of its own.
//
// Liveness: a delivery or a timer may outlive the object that asked for it
// (the controller is torn down while a request is in flight). An owner holds
// a Liveness and passes its watch(); work whose owner is gone is dropped on
// the loop instead of calling into freed memory.
#pragma once

#include <glib.h>

#include <chrono>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace vantorel {

// The outcome of background work: its value or the exception it threw.
template <typename T>
class Outcome {
public:
    static Outcome success(T value) { return Outcome(std::move(value), nullptr); }
    static Outcome failure(std::exception_ptr error) { return Outcome(std::nullopt, std::move(error)); }

    bool ok() const { return !error_; }
    // The value, or rethrows the work's exception.
    T& get() {
        if (error_) std::rethrow_exception(error_);
        return *value_;
    }
    std::exception_ptr error() const { return error_; }

private:
    Outcome(std::optional<T> value, std::exception_ptr error) : value_(std::move(value)), error_(std::move(error)) {}
    std::optional<T> value_;
    std::exception_ptr error_;
};

enum class Lane {
    work,   // long work: agent runs, plan steps, analysis, scans
    quick,  // short bounded work: context polls, health gates, /proc scans
};

// Held by an owner; watches handed to the loop see whether it still exists.
// Checked on the loop's thread only, where the owner is destroyed.
class Liveness {
public:
    class Watch {
    public:
        Watch() = default;  // watches nothing: always alive
        bool alive() const { return !guarded_ || !token_.expired(); }

    private:
        friend class Liveness;
        explicit Watch(std::weak_ptr<const int> token) : token_(std::move(token)), guarded_(true) {}
        std::weak_ptr<const int> token_;
        bool guarded_ = false;
    };

    Watch watch() const { return Watch(token_); }

private:
    std::shared_ptr<const int> token_ = std::make_shared<const int>(0);
};

// A timer on the loop; destroying or cancelling it stops it.
class Timer {
public:
    Timer() = default;
    Timer(Timer&& other) noexcept : source_(std::exchange(other.source_, nullptr)) {}
    Timer& operator=(Timer&& other) noexcept {
        if (this != &other) {
            cancel();
            source_ = std::exchange(other.source_, nullptr);
        }
        return *this;
    }
    ~Timer() { cancel(); }
    void cancel();
    bool active() const;

private:
    friend class MainLoop;
    explicit Timer(GSource* source) : source_(source) {}
    GSource* source_ = nullptr;
};

class MainLoop {
public:
    // A loop over its own new context (tests, headless) or over the given one
    // (the GUI passes the default context).
    explicit MainLoop(GMainContext* context = nullptr, int backgroundThreads = 4, int quickThreads = 2);
    ~MainLoop();
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    GMainContext* context() const { return context_; }

    // Runs fn on the loop's thread at its next turn; safe from any thread.
    void post(std::function<void()> fn);

    // Runs work on a background thread, then deliver on the loop.
    template <typename T>
    void background(std::function<T()> work, std::function<void(Outcome<T>)> deliver) {
        background<T>(Lane::work, std::move(work), std::move(deliver));
    }

    // Runs work in `lane`, then deliver on the loop unless `owner` is gone by
    // then (the work itself still runs to its end).
    template <typename T>
    void background(Lane lane, std::function<T()> work, std::function<void(Outcome<T>)> deliver,
                    Liveness::Watch owner = {}) {
        auto run = [this, work = std::move(work), deliver = std::move(deliver), owner]() mutable {
            std::shared_ptr<Outcome<T>> outcome;
            try {
                outcome = std::make_shared<Outcome<T>>(Outcome<T>::success(work()));
            } catch (...) {
                outcome = std::make_shared<Outcome<T>>(Outcome<T>::failure(std::current_exception()));
            }
            // Moved, not copied: the loop must drop the last reference, so a
            // failure's exception is released where it was read.
            post([deliver = std::move(deliver), outcome = std::move(outcome), owner]() mutable {
                if (owner.alive()) deliver(std::move(*outcome));
            });
        };
        submit(lane, std::move(run));
    }

    // fn once after delay / repeatedly every interval, on the loop.
    // A guarded timer does nothing once its owner is gone.
    [[nodiscard]] Timer after(std::chrono::milliseconds delay, std::function<void()> fn, Liveness::Watch owner = {});
    [[nodiscard]] Timer every(std::chrono::milliseconds interval, std::function<void()> fn,
                              Liveness::Watch owner = {});

    // Runs until quit().
    void run();
    void quit();
    // Turns the loop until done() holds or the timeout passes; true when done.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

private:
    void submit(Lane lane, std::function<void()> job);
    friend struct PostedSource;

    GMainContext* context_ = nullptr;
    // Work posted from any thread waits here, under a lock every tool can see,
    // for the one source that runs it on the loop: no GLib allocation crosses
    // threads, and a post costs a lock and a wake-up.
    std::mutex postedMutex_;
    std::deque<std::function<void()>> posted_;
    GSource* postedSource_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GThreadPool* pool_ = nullptr;
    GThreadPool* quickPool_ = nullptr;
};

}  // namespace vantorel
