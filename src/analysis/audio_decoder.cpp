#include "analysis/audio_decoder.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace vantorel::analysis {

namespace {

// Frames decoded per call into the interleaved scratch buffer; small enough
// that the scratch costs nothing next to the excerpt itself.
constexpr sf_count_t kChunkFrames = 16384;

constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeBufferBytes = std::size_t{4} << 20;

std::size_t hugeRounded(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

}  // namespace

template <typename T>
void* SampleAllocator<T>::allocateSamples(std::size_t bytes) {
    if (bytes < kHugeBufferBytes) return ::operator new(bytes);
    void* pointer = std::aligned_alloc(kHugePage, hugeRounded(bytes));
    if (pointer == nullptr) throw std::bad_alloc();
    // Advice only: where huge pages are off, this changes nothing.
    ::madvise(pointer, hugeRounded(bytes), MADV_HUGEPAGE);
    return pointer;
}

template <typename T>
void SampleAllocator<T>::releaseSamples(void* pointer, std::size_t bytes) noexcept {
    if (bytes < kHugeBufferBytes) {
        ::operator delete(pointer);
    } else {
        std::free(pointer);
    }
}

template struct SampleAllocator<float>;

Excerpt planExcerpt(std::int64_t fileFrames, double sampleRate, double startSeconds,
                    std::optional<double> durationSeconds, double maxSeconds) {
    const std::int64_t length = std::max<std::int64_t>(fileFrames, 0);
    const double lastStart = std::max(static_cast<double>(length) / sampleRate - 1.0 / sampleRate, 0.0);
    double start = std::isnan(startSeconds) ? 0.0 : std::max(startSeconds, 0.0);
    start = std::min(start, lastStart);

    double duration = maxSeconds;
    if (durationSeconds) duration = std::isnan(*durationSeconds) ? 0.0 : std::clamp(*durationSeconds, 0.0, maxSeconds);

    Excerpt excerpt;
    excerpt.startSeconds = start;
    excerpt.firstFrame = static_cast<std::int64_t>(sampleRate * start);
    const auto wanted = static_cast<std::int64_t>(duration * sampleRate);
    excerpt.frameCount = std::min(wanted, std::max<std::int64_t>(length - excerpt.firstFrame, 0));
    return excerpt;
}

struct AudioSource::Memory {
    std::span<const std::uint8_t> bytes;
    sf_count_t position = 0;

    static sf_count_t length(void* self) { return static_cast<sf_count_t>(static_cast<Memory*>(self)->bytes.size()); }
    static sf_count_t seek(sf_count_t offset, int whence, void* self) {
        auto* memory = static_cast<Memory*>(self);
        sf_count_t base = whence == SEEK_CUR ? memory->position
                          : whence == SEEK_END ? static_cast<sf_count_t>(memory->bytes.size())
                                               : 0;
        sf_count_t target = base + offset;
        if (target < 0) return -1;
        memory->position = target;
        return target;
    }
    static sf_count_t read(void* destination, sf_count_t count, void* self) {
        auto* memory = static_cast<Memory*>(self);
        auto size = static_cast<sf_count_t>(memory->bytes.size());
        if (count <= 0 || memory->position >= size) return 0;
        sf_count_t n = std::min(count, size - memory->position);
        std::memcpy(destination, memory->bytes.data() + memory->position, static_cast<std::size_t>(n));
        memory->position += n;
        return n;
    }
    static sf_count_t write(const void*, sf_count_t, void*) { return 0; }
    static sf_count_t tell(void* self) { return static_cast<Memory*>(self)->position; }
};

namespace {

// libsndfile reports why an open failed with its own error numbers, of
// which only the first few are public constants. These are the ones that
// mean "a container it knows, holding something it will not turn into float
// frames": an encoding it cannot decode, or a header announcing no sample
// rate or no channel. Everything else (not audio, damaged, system errors) is
// an unreadable file.
constexpr int kUnsupportedOpenErrors[] = {
    SF_ERR_UNSUPPORTED_ENCODING,
    18,   // data in an unimplemented format
    24,   // SF_INFO incomplete: a zero sample rate
    32,   // channel count is zero
    33,   // too many channels
    34,   // bad channel count
    78,   // WAV holding WavPack data
    92,   // AU, unknown format
    100,  // PAF, unknown format
    106,  // 8SVX, unsupported compression
    110,  // NIST, unsupported compression
    123,  // IRCAM, unknown encoding
};

DecodeFailure openFailure(int code) {
    for (int unsupported : kUnsupportedOpenErrors) {
        if (code == unsupported) return DecodeFailure::unsupported;
    }
    return DecodeFailure::unreadable;
}

}  // namespace

AudioSource AudioSource::openFile(const std::filesystem::path& path) {
    AudioSource source;
    // O_NONBLOCK keeps open() itself from waiting on a pipe; regular files
    // ignore it.
    source.descriptor_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (source.descriptor_ < 0) throw DecodeError{DecodeFailure::unreadable};
    struct stat status {};
    if (::fstat(source.descriptor_, &status) != 0 || !S_ISREG(status.st_mode)) {
        throw DecodeError{DecodeFailure::unreadable};
    }
    source.file_ = sf_open_fd(source.descriptor_, SFM_READ, &source.info_, 0);
    if (source.file_ == nullptr) throw DecodeError{openFailure(sf_error(nullptr))};
    source.checkFormat();
    return source;
}

AudioSource AudioSource::openMemory(std::span<const std::uint8_t> bytes) {
    AudioSource source;
    source.memory_ = std::make_unique<Memory>();
    source.memory_->bytes = bytes;
    SF_VIRTUAL_IO io{&Memory::length, &Memory::seek, &Memory::read, &Memory::write, &Memory::tell};
    source.file_ = sf_open_virtual(&io, SFM_READ, &source.info_, source.memory_.get());
    if (source.file_ == nullptr) throw DecodeError{openFailure(sf_error(nullptr))};
    source.checkFormat();
    return source;
}

void AudioSource::checkFormat() {
    if (info_.samplerate <= 0 || info_.channels <= 0) throw DecodeError{DecodeFailure::unsupported};
    // The containers whose 16-bit samples the decoder turns into floats as
    // x × 2⁻¹⁵: reading them as integers and scaling gives the same floats
    // for a fraction of the decoder's work.
    const int container = info_.format & SF_FORMAT_TYPEMASK;
    shortSamples_ = (info_.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 &&
                    (container == SF_FORMAT_WAV || container == SF_FORMAT_WAVEX || container == SF_FORMAT_AIFF ||
                     container == SF_FORMAT_W64 || container == SF_FORMAT_RF64 || container == SF_FORMAT_CAF);
}

AudioSource::AudioSource(AudioSource&& other) noexcept
    : file_(std::exchange(other.file_, nullptr)),
      info_(other.info_),
      descriptor_(std::exchange(other.descriptor_, -1)),
      memory_(std::move(other.memory_)),
      moved_(other.moved_),
      shortSamples_(other.shortSamples_) {}

AudioSource::~AudioSource() {
    if (file_ != nullptr) sf_close(file_);
    if (descriptor_ >= 0) ::close(descriptor_);
}

void AudioSource::seek(std::int64_t first) {
    // A fresh decoder stands on frame 0; seeking there anyway would fail on
    // formats that cannot seek, which a plain read from the start never needed.
    if (first == 0 && !moved_) return;
    if (sf_seek(file_, first, SEEK_SET) < 0) throw DecodeError{DecodeFailure::unreadable};
    moved_ = first != 0;
}

std::int64_t AudioSource::readFrames(float* interleaved, std::int64_t frames) {
    if (frames <= 0) return 0;
    sf_count_t got = sf_readf_float(file_, interleaved, frames);
    if (sf_error(file_) != SF_ERR_NO_ERROR) throw DecodeError{DecodeFailure::unreadable};
    if (got > 0) moved_ = true;
    return std::max<sf_count_t>(got, 0);
}

namespace {

// Frame i of `frames` interleaved frames into channels[c][at + i], each
// sample times `scale`.
template <typename Sample>
void deinterleave(const Sample* interleaved, std::size_t frames, std::span<float* const> channels, std::size_t at,
                  float scale) {
    if (channels.size() == 2) {
        float* left = channels[0] + at;
        float* right = channels[1] + at;
        for (std::size_t i = 0; i < frames; ++i) {
            left[i] = static_cast<float>(interleaved[2 * i]) * scale;
            right[i] = static_cast<float>(interleaved[2 * i + 1]) * scale;
        }
        return;
    }
    for (std::size_t c = 0; c < channels.size(); ++c) {
        float* target = channels[c] + at;
        const Sample* sample = interleaved + c;
        for (std::size_t i = 0; i < frames; ++i, sample += channels.size()) {
            target[i] = static_cast<float>(*sample) * scale;
        }
    }
}

}  // namespace

std::int64_t AudioSource::readChannels(std::span<float* const> channels, std::int64_t frames) {
    const auto count = static_cast<std::size_t>(info_.channels);
    if (frames <= 0 || channels.size() != count) return 0;
    // 2⁻¹⁵, the decoder's own scale for 16-bit samples: exact, as every
    // 16-bit value is a float.
    constexpr float kShortScale = 1.0f / 32768.0f;
    std::int64_t done = 0;
    while (done < frames) {
        const std::int64_t want = std::min<std::int64_t>(frames - done, kChunkFrames);
        const auto slots = static_cast<std::size_t>(want) * count;
        sf_count_t got = 0;
        if (shortSamples_) {
            if (shorts_.size() < slots) shorts_.resize(slots);
            got = sf_readf_short(file_, shorts_.data(), want);
            if (sf_error(file_) != SF_ERR_NO_ERROR) throw DecodeError{DecodeFailure::unreadable};
            got = std::max<sf_count_t>(got, 0);
            if (got > 0) moved_ = true;
            deinterleave(shorts_.data(), static_cast<std::size_t>(got), channels, static_cast<std::size_t>(done),
                         kShortScale);
        } else {
            if (floats_.size() < slots) floats_.resize(slots);
            got = readFrames(floats_.data(), want);
            deinterleave(floats_.data(), static_cast<std::size_t>(got), channels, static_cast<std::size_t>(done), 1.0f);
        }
        done += got;
        if (got < want) break;
    }
    return done;
}

Channels AudioSource::read(std::int64_t first, std::int64_t count) {
    const int channels = info_.channels;
    if (count <= 0) return Channels(static_cast<std::size_t>(channels));
    if (count > maxExcerptSamples / channels) throw std::bad_alloc();

    Channels out(static_cast<std::size_t>(channels));
    for (auto& channel : out) channel.reserve(static_cast<std::size_t>(count));
    std::vector<float*> targets(out.size());

    seek(first);
    std::int64_t remaining = count;
    while (remaining > 0) {
        const std::int64_t want = std::min<std::int64_t>(remaining, kChunkFrames);
        const std::size_t base = out[0].size();
        for (std::size_t c = 0; c < out.size(); ++c) {
            out[c].resize(base + static_cast<std::size_t>(want));
            targets[c] = out[c].data() + base;
        }
        const std::int64_t got = readChannels(targets, want);
        for (auto& channel : out) channel.resize(base + static_cast<std::size_t>(got));
        remaining -= got;
        if (got < want) break;
    }
    return out;
}

}  // namespace vantorel::analysis
