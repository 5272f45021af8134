// Where a store's file writes run. By default a store writes at once, on the
// caller's thread; the app hands its stores a queue that runs the writes on
// one background thread (so the loop never waits for fsync), and a set that
// has no name of its own gets stores whose queue drops every write.
#pragma once

#include <filesystem>
#include <functional>

#include <nlohmann/json.hpp>

namespace vantorel {

using StoreWrite = std::function<void()>;
using StoreWriteQueue = std::function<void(StoreWrite)>;

// A queue that keeps everything in memory.
inline StoreWriteQueue memoryOnly() {
    return [](StoreWrite) {};
}

// Saves a store's document through its queue (at once when it has none). The
// document is taken now; formatting and the write may run later. A failed
// write is dropped: the store's memory stays authoritative and the next
// successful save writes it.
void saveThrough(const StoreWriteQueue& queue, const std::filesystem::path& file, nlohmann::json document);

}  // namespace vantorel
