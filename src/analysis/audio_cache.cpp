#include "analysis/audio_cache.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <system_error>

namespace vantorel::analysis {

namespace {

// Halves away from zero; saturates instead of overflowing, and a NaN counts
// as 0, so that no argument can make the key undefined.
std::int64_t roundedInteger(double value) {
    if (std::isnan(value)) return 0;
    constexpr double limit = 9.2e18;
    if (value >= limit) return static_cast<std::int64_t>(limit);
    if (value <= -limit) return -static_cast<std::int64_t>(limit);
    return static_cast<std::int64_t>(std::round(value));
}

void mix(std::size_t& seed, std::size_t value) { seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2); }

}  // namespace

std::size_t AudioCacheKeyHash::operator()(const AudioCacheKey& key) const noexcept {
    std::size_t seed = std::hash<std::string>{}(key.path);
    mix(seed, std::hash<std::uint64_t>{}(key.size));
    mix(seed, std::hash<double>{}(key.modified));
    mix(seed, std::hash<std::int64_t>{}(key.transpose));
    mix(seed, std::hash<std::int64_t>{}(key.startMilliseconds));
    mix(seed, key.durationMilliseconds ? std::hash<std::int64_t>{}(*key.durationMilliseconds) : 0x5bd1e995U);
    return seed;
}

AudioCacheKey makeCacheKey(const std::filesystem::path& file, double transposeSemitones, double startSeconds,
                           std::optional<double> durationSeconds) {
    AudioCacheKey key;
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(file, error);
    key.path = (error ? file : absolute).lexically_normal().string();
    struct stat status {};
    if (::stat(file.c_str(), &status) == 0) {
        key.size = static_cast<std::uint64_t>(status.st_size);
        key.modified = static_cast<double>(status.st_mtim.tv_sec) + static_cast<double>(status.st_mtim.tv_nsec) / 1e9;
    }
    key.transpose = roundedInteger(transposeSemitones * 100.0);
    key.startMilliseconds = roundedInteger(std::max(startSeconds, 0.0) * 1000.0);
    if (durationSeconds) {
        key.durationMilliseconds = *durationSeconds >= 0 ? roundedInteger(*durationSeconds * 1000.0) : 0;
    }
    return key;
}

std::optional<AudioMeasurement> AudioMeasurementCache::find(const AudioCacheKey& key) const {
    std::lock_guard guard(lock_);
    auto found = entries_.find(key);
    if (found == entries_.end()) return std::nullopt;
    return found->second;
}

void AudioMeasurementCache::insert(const AudioCacheKey& key, const AudioMeasurement& measurement) {
    std::lock_guard guard(lock_);
    if (entries_.size() >= capacity) entries_.clear();
    entries_.insert_or_assign(key, measurement);
}

std::size_t AudioMeasurementCache::size() const {
    std::lock_guard guard(lock_);
    return entries_.size();
}

void AudioMeasurementCache::clear() {
    std::lock_guard guard(lock_);
    entries_.clear();
}

AudioMeasurementCache& sharedAudioCache() {
    static AudioMeasurementCache cache;
    return cache;
}

}  // namespace vantorel::analysis
