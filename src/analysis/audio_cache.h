// The process-wide memo of audio measurements (internal; not for other
// subsystems).
//
// A measurement is a pure function of the file's bytes and the arguments, so
// it is keyed by the file's path, size and modification date and by the
// arguments as rounded integers (cents, milliseconds). The lock guards the
// map only: it is never held while a file is decoded or measured, so two
// threads that miss on the same key both compute and the later insert wins.
#pragma once

#include "analysis/local_audio_analyzer.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace vantorel::analysis {

struct AudioCacheKey {
    std::string path;           // absolute, lexically normalised
    std::uint64_t size = 0;     // bytes; 0 when the file system cannot tell
    double modified = 0;        // seconds since 1970; 0 when unknown
    std::int64_t transpose = 0; // cents
    std::int64_t startMilliseconds = 0;
    // Absent when no duration was asked for. A given duration that rounds to
    // 0 ms (or is negative) reads nothing and fails, whereas no duration
    // reads 90 s: the two must never share an entry.
    std::optional<std::int64_t> durationMilliseconds;

    bool operator==(const AudioCacheKey&) const = default;
};

struct AudioCacheKeyHash {
    std::size_t operator()(const AudioCacheKey& key) const noexcept;
};

// Reads the file's size and modification date (a failed read leaves them 0)
// and rounds the arguments, halves away from zero.
AudioCacheKey makeCacheKey(const std::filesystem::path& file, double transposeSemitones, double startSeconds,
                           std::optional<double> durationSeconds);

class AudioMeasurementCache {
public:
    static constexpr std::size_t capacity = 24;

    std::optional<AudioMeasurement> find(const AudioCacheKey& key) const;
    // Inserting into a full cache empties it first: all-or-nothing eviction,
    // so the cache never holds more than `capacity` entries.
    void insert(const AudioCacheKey& key, const AudioMeasurement& measurement);
    std::size_t size() const;
    void clear();

private:
    mutable std::mutex lock_;
    std::unordered_map<AudioCacheKey, AudioMeasurement, AudioCacheKeyHash> entries_;
};

// The one cache of the process, used by LocalAudioAnalyzer::analyze.
AudioMeasurementCache& sharedAudioCache();

}  // namespace vantorel::analysis
