// One background thread that runs jobs one at a time, in submission order.
//
// The stores write their files with fsync, which can take tens of
// milliseconds on a busy disk: on the controller's loop that would stall
// every poll. Writes go here instead; their order is kept, so the file on
// disk always ends as the last state handed over. Destruction runs what is
// queued, then joins.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace vantorel {

class SerialWorker {
public:
    SerialWorker();
    ~SerialWorker();
    SerialWorker(const SerialWorker&) = delete;
    SerialWorker& operator=(const SerialWorker&) = delete;

    void submit(std::function<void()> job);
    // Blocks until every job submitted so far has run.
    void drain();

private:
    void run();

    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> jobs_;
    bool running_ = false;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace vantorel
