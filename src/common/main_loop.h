// The controller's one event loop (a GLib main context), in the GUI and
// headless alike.
//
// All controller state is touched on the loop's thread only. Long work runs
// on a small pool of background threads and hands its result back to the
// loop before it touches state; timers fire on the loop.
#pragma once

#include <glib.h>

#include <chrono>
#include <exception>
#include <functional>
#include <memory>
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
    explicit MainLoop(GMainContext* context = nullptr, int backgroundThreads = 4);
    ~MainLoop();
    MainLoop(const MainLoop&) = delete;
    MainLoop& operator=(const MainLoop&) = delete;

    GMainContext* context() const { return context_; }

    // Runs fn on the loop's thread at its next turn; safe from any thread.
    void post(std::function<void()> fn);

    // Runs work on a background thread, then deliver on the loop.
    template <typename T>
    void background(std::function<T()> work, std::function<void(Outcome<T>)> deliver) {
        auto run = [this, work = std::move(work), deliver = std::move(deliver)]() mutable {
            std::shared_ptr<Outcome<T>> outcome;
            try {
                outcome = std::make_shared<Outcome<T>>(Outcome<T>::success(work()));
            } catch (...) {
                outcome = std::make_shared<Outcome<T>>(Outcome<T>::failure(std::current_exception()));
            }
            post([deliver = std::move(deliver), outcome]() mutable { deliver(std::move(*outcome)); });
        };
        submit(std::move(run));
    }

    // fn once after delay / repeatedly every interval, on the loop.
    [[nodiscard]] Timer after(std::chrono::milliseconds delay, std::function<void()> fn);
    [[nodiscard]] Timer every(std::chrono::milliseconds interval, std::function<void()> fn);

    // Runs until quit().
    void run();
    void quit();
    // Turns the loop until done() holds or the timeout passes; true when done.
    bool runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);

private:
    void submit(std::function<void()> job);

    GMainContext* context_ = nullptr;
    GMainLoop* loop_ = nullptr;
    GThreadPool* pool_ = nullptr;
};

}  // namespace vantorel
