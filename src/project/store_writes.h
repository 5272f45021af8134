// Where a store's file writes run. By default a store writes at once, on the
// caller's thread; the app hands its stores a queue that runs the writes on
// one background thread (so the loop never waits for fsync), and a set that
// has no name of its own gets stores whose queue drops every write.
#pragma once

#include <functional>

namespace vantorel {

using StoreWrite = std::function<void()>;
using StoreWriteQueue = std::function<void(StoreWrite)>;

// A queue that keeps everything in memory.
inline StoreWriteQueue memoryOnly() {
    return [](StoreWrite) {};
}

}  // namespace vantorel
