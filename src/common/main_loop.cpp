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

struct PostedSource {
    GSource base;
    MainLoop* loop;

    static bool pending(GSource* source) {
        MainLoop* loop = reinterpret_cast<PostedSource*>(source)->loop;
        std::lock_guard lock(loop->postedMutex_);
        return !loop->posted_.empty();
    }

    static gboolean prepare(GSource* source, gint* timeout) {
        *timeout = -1;
        return pending(source);
    }

    static gboolean check(GSource* source) { return pending(source); }

    // Runs what was posted before this turn, oldest first; work posted while
    // it runs waits for the next turn so timers and I/O are not starved.
    static gboolean dispatch(GSource* source, GSourceFunc, gpointer) {
        MainLoop* loop = reinterpret_cast<PostedSource*>(source)->loop;
        std::size_t count;
        {
            std::lock_guard lock(loop->postedMutex_);
            count = loop->posted_.size();
        }
        while (count-- > 0) {
            std::function<void()> fn;
            {
                std::lock_guard lock(loop->postedMutex_);
                if (loop->posted_.empty()) break;
                fn = std::move(loop->posted_.front());
                loop->posted_.pop_front();
            }
            fn();
        }
        return G_SOURCE_CONTINUE;
    }

    static GSourceFuncs funcs;
};

GSourceFuncs PostedSource::funcs = {PostedSource::prepare, PostedSource::check, PostedSource::dispatch, nullptr,
                                    nullptr, nullptr};

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
    postedSource_ = g_source_new(&PostedSource::funcs, sizeof(PostedSource));
    reinterpret_cast<PostedSource*>(postedSource_)->loop = this;
    g_source_set_priority(postedSource_, G_PRIORITY_DEFAULT);
    // A task may turn the loop itself (a nested wait); posted work must still
    // run there.
    g_source_set_can_recurse(postedSource_, TRUE);
    g_source_attach(postedSource_, context_);
}

MainLoop::~MainLoop() {
    // Finish the background work first: its results are posted to the context,
    // and the context outlives nothing that could still run them.
    g_thread_pool_free(pool_, FALSE, TRUE);
    g_thread_pool_free(quickPool_, FALSE, TRUE);
    while (g_main_context_iteration(context_, FALSE)) {
    }
    g_source_destroy(postedSource_);
    g_source_unref(postedSource_);
    g_main_loop_unref(loop_);
    g_main_context_unref(context_);
}

void MainLoop::post(std::function<void()> fn) {
    {
        std::lock_guard lock(postedMutex_);
        posted_.push_back(std::move(fn));
    }
    g_main_context_wakeup(context_);
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
