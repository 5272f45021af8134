// Reading a Live Set's gzip stream in pieces, in-process.
//
// Live writes .als files as gzip-compressed XML. GzipReader inflates one file
// into the caller's buffer a piece at a time, so a document is never held
// whole whatever its size. Its outcomes are those of `gzip -dc`: several
// members are read one after the other, zero padding after the last member is
// ignored, and anything else (a file that is not gzip, a truncated or corrupt
// stream, other bytes after the last member, an unreadable file) is a failure.
// A stream that inflates beyond maximumInflatedBytes is stopped as a failure
// too: a few kilobytes of gzip can claim terabytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string_view>

namespace vantorel {

class GzipReader {
public:
    static constexpr std::uint64_t maximumInflatedBytes = std::uint64_t{1} << 30;  // 1 GiB

    // Opens the file; failure shows in failed() at the first read. limit:
    // inflated bytes beyond which the stream counts as a failure.
    explicit GzipReader(const std::filesystem::path& file, std::uint64_t limit = maximumInflatedBytes);
    // Compressed bytes in memory (the fuzz target, tests); they must outlive
    // the reader.
    struct InMemory {
        std::string_view bytes;
    };
    explicit GzipReader(InMemory compressed, std::uint64_t limit = maximumInflatedBytes);
    ~GzipReader();
    GzipReader(const GzipReader&) = delete;
    GzipReader& operator=(const GzipReader&) = delete;

    // Inflates up to `capacity` bytes into `out`; returns how many. 0 means the
    // end of the stream or a failure: tell them apart with failed().
    std::size_t read(char* out, std::size_t capacity);

    bool failed() const;
    // Inflated bytes handed out so far.
    std::uint64_t inflatedBytes() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace vantorel
