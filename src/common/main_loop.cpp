#include "common/main_loop.h"

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* address);
extern "C" void __tsan_release(void* address);
#endif

namespace vantorel {

namespace {

struct Task {
    std::function<void()> fn;
};

// GLib hands a task to a pool thread or to the loop through its own futex
// locks, which ThreadSanitizer cannot see: without these marks every hand-
// over reads as a race and hides the real ones.
Task* handedOver(Task* task) {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(task);
#endif
    return task;
}

Task* received(gpointer data) {
    auto* task = static_cast<Task*>(data);
#if defined(__SANITIZE_THREAD__)
    __tsan_acquire(task);
#endif
    return task;
}

gboolean runOnce(gpointer data) {
    received(data)->fn();
    return G_SOURCE_REMOVE;
}

gboolean runRepeating(gpointer data) {
    received(data)->fn();
    return G_SOURCE_CONTINUE;
}

void destroyTask(gpointer data) { delete received(data); }

void runJob(gpointer data, gpointer) {
    std::unique_ptr<Task> task(received(data));
    task->fn();
}

}  // namespace

void Timer::cancel() {
    if (source_ != nullptr) {
        g_source_destroy(source_);
        g_source_unref(source_);
        source_ = nullptr;
    }
}

bool Timer::active() const { return source_ != nullptr && !g_source_is_destroyed(source_); }

MainLoop::MainLoop(GMainContext* context, int backgroundThreads, int quickThreads) {
    context_ = context ? g_main_context_ref(context) : g_main_context_new();
    loop_ = g_main_loop_new(context_, FALSE);
    pool_ = g_thread_pool_new(runJob, nullptr, backgroundThreads, FALSE, nullptr);
    quickPool_ = g_thread_pool_new(runJob, nullptr, quickThreads, FALSE, nullptr);
}

MainLoop::~MainLoop() {
    // Finish the background work first: its results are posted to the context,
    // and the context outlives nothing that could still run them.
    g_thread_pool_free(pool_, FALSE, TRUE);
    g_thread_pool_free(quickPool_, FALSE, TRUE);
    while (g_main_context_iteration(context_, FALSE)) {
    }
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
}

void MainLoop::post(std::function<void()> fn) {
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, runOnce, handedOver(new Task{std::move(fn)}), destroyTask);
    g_source_attach(source, context_);
    g_source_unref(source);
}

void MainLoop::submit(Lane lane, std::function<void()> job) {
    g_thread_pool_push(lane == Lane::quick ? quickPool_ : pool_, handedOver(new Task{std::move(job)}), nullptr);
}

namespace {

std::function<void()> guarded(std::function<void()> fn, Liveness::Watch owner) {
    return [fn = std::move(fn), owner] {
        if (owner.alive()) fn();
    };
}

}  // namespace

Timer MainLoop::after(std::chrono::milliseconds delay, std::function<void()> fn, Liveness::Watch owner) {
    fn = guarded(std::move(fn), owner);
    GSource* source = g_timeout_source_new(static_cast<guint>(delay.count()));
    g_source_set_callback(source, runOnce, handedOver(new Task{std::move(fn)}), destroyTask);
    g_source_attach(source, context_);
    return Timer(source);
}

Timer MainLoop::every(std::chrono::milliseconds interval, std::function<void()> fn, Liveness::Watch owner) {
    fn = guarded(std::move(fn), owner);
    GSource* source = g_timeout_source_new(static_cast<guint>(interval.count()));
    g_source_set_callback(source, runRepeating, handedOver(new Task{std::move(fn)}), destroyTask);
    g_source_attach(source, context_);
    return Timer(source);
}

void MainLoop::run() {
    g_main_context_push_thread_default(context_);
    g_main_loop_run(loop_);
    g_main_context_pop_thread_default(context_);
}

void MainLoop::quit() { g_main_loop_quit(loop_); }

bool MainLoop::runUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    gint64 deadline = g_get_monotonic_time() + timeout.count() * 1000;
    g_main_context_push_thread_default(context_);
    bool reached = done();
    while (!reached && g_get_monotonic_time() < deadline) {
        // Wake at least every 10 ms so the deadline is honoured while idle.
        GSource* tick = g_timeout_source_new(10);
        g_source_set_callback(tick, [](gpointer) { return G_SOURCE_REMOVE; }, nullptr, nullptr);
        g_source_attach(tick, context_);
        g_main_context_iteration(context_, TRUE);
        g_source_destroy(tick);
        g_source_unref(tick);
        reached = done();
    }
    g_main_context_pop_thread_default(context_);
    return reached;
}

}  // namespace vantorel
