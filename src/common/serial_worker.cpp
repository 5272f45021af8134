#include "common/serial_worker.h"

namespace vantorel {

SerialWorker::SerialWorker() : thread_([this] { run(); }) {}

SerialWorker::~SerialWorker() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
}

void SerialWorker::submit(std::function<void()> job) {
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    changed_.notify_all();
}

void SerialWorker::drain() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return jobs_.empty() && !running_; });
}

void SerialWorker::run() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;  // stopping, nothing left
        auto job = std::move(jobs_.front());
        jobs_.pop_front();
        running_ = true;
        lock.unlock();
        try {
            job();
        } catch (...) {
            // A job reports its own failures; one that throws must not end
            // the writes queued behind it.
        }
        lock.lock();
        running_ = false;
        changed_.notify_all();
    }
}

}  // namespace vantorel
