// Decoding for the analysis library (internal; not for other subsystems).
//
// An `AudioSource` is one opened audio file, from disk or from memory,
// decoded by libsndfile into 32-bit float frames. Both analyzers read their
// excerpt through it and turn its failures into their own error enumeration,
// which is why failures here are a bare `DecodeFailure` rather than a
// user-facing error.
#pragma once

#include <sndfile.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <new>
#include <span>
#include <utility>
#include <vector>

namespace vantorel::analysis {

enum class DecodeFailure { unreadable, unsupported, insufficient };

struct DecodeError {
    DecodeFailure kind;
};

// Allocates sample buffers without zero-filling them (the decoder writes
// every element before anything reads it) and, for buffers of several MiB,
// on huge pages: a 90 s stereo excerpt is 32 MiB, and faulting it in 4 KiB
// at a time costs as much as measuring it.
template <typename T>
struct SampleAllocator {
    using value_type = T;
    SampleAllocator() = default;
    template <typename U>
    SampleAllocator(const SampleAllocator<U>&) noexcept {}

    T* allocate(std::size_t count) { return static_cast<T*>(allocateSamples(count * sizeof(T))); }
    void deallocate(T* pointer, std::size_t count) noexcept { releaseSamples(pointer, count * sizeof(T)); }
    template <typename U>
    void construct(U* pointer) noexcept {
        ::new (static_cast<void*>(pointer)) U;
    }
    template <typename U, typename... Args>
    void construct(U* pointer, Args&&... args) {
        ::new (static_cast<void*>(pointer)) U(std::forward<Args>(args)...);
    }
    template <typename U>
    bool operator==(const SampleAllocator<U>&) const noexcept {
        return true;
    }

    static void* allocateSamples(std::size_t bytes);
    static void releaseSamples(void* pointer, std::size_t bytes) noexcept;
};

// One channel's samples.
using Samples = std::vector<float, SampleAllocator<float>>;
// De-interleaved samples: one buffer per channel, all of one length.
using Channels = std::vector<Samples>;

// The frames one analysis reads, derived from the caller's start and duration.
struct Excerpt {
    double startSeconds = 0;     // the clamped start
    std::int64_t firstFrame = 0;
    std::int64_t frameCount = 0;  // frames to read, before reading
};

// Clamps the start to the last frame of the file and the duration to
// 0...maxSeconds (maxSeconds when absent), then counts the frames that exist
// from there. Non-finite inputs are tamed first: a NaN start reads from the
// beginning, a NaN duration reads nothing.
Excerpt planExcerpt(std::int64_t fileFrames, double sampleRate, double startSeconds,
                    std::optional<double> durationSeconds, double maxSeconds);

class AudioSource {
public:
    // Opens a regular file; anything else (a folder, a pipe, a device) is
    // unreadable, so that nothing can block or stream forever.
    static AudioSource openFile(const std::filesystem::path& path);
    // Decodes bytes held in memory (used by the fuzz target). The bytes must
    // outlive the source.
    static AudioSource openMemory(std::span<const std::uint8_t> bytes);

    AudioSource(AudioSource&&) noexcept;
    AudioSource& operator=(AudioSource&&) = delete;
    ~AudioSource();

    double sampleRate() const { return static_cast<double>(info_.samplerate); }
    int channelCount() const { return info_.channels; }
    // The length the decoder announces; the data may hold fewer frames.
    std::int64_t frames() const { return info_.frames; }

    // The most samples (frames × channels) one excerpt may hold. A header
    // may announce any sample rate and channel count, and compressed data can
    // expand enormously, so larger excerpts are refused rather than decoded.
    static constexpr std::int64_t maxExcerptSamples = std::int64_t{1} << 27;

    // Reads up to `count` frames from `first`. Fewer frames come back when
    // the data ends early. Throws DecodeError{unreadable} on a seek or decode
    // error and std::bad_alloc past maxExcerptSamples or when the buffer
    // cannot be had.
    Channels read(std::int64_t first, std::int64_t count);

    // Block reading, for measurements that keep no more than a block: seek
    // to `first`, then each readFrames decodes up to `frames` interleaved
    // frames into `interleaved` (frames × channels floats) and returns how
    // many it decoded, fewer only where the data ends. Both throw
    // DecodeError{unreadable} on a seek or decode error.
    void seek(std::int64_t first);
    std::int64_t readFrames(float* interleaved, std::int64_t frames);
    // The same, de-interleaved: up to `frames` frames into channels[c][0…],
    // one buffer per channel.
    std::int64_t readChannels(std::span<float* const> channels, std::int64_t frames);

private:
    struct Memory;
    AudioSource() = default;
    void checkFormat();

    SNDFILE* file_ = nullptr;
    SF_INFO info_{};
    int descriptor_ = -1;
    std::unique_ptr<Memory> memory_;
    bool moved_ = false;  // the decoder has left the first frame
    bool shortSamples_ = false;           // 16-bit PCM: decoded as integers and scaled here
    std::vector<std::int16_t> shorts_;    // readChannels' interleaved frames
    std::vector<float> floats_;
};

}  // namespace vantorel::analysis
