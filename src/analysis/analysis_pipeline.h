// The decode-and-measure paths of both analyzers over an opened source
// (internal; not for other subsystems). The public entry points open a file
// and call these; the fuzz target calls them on bytes held in memory.
#pragma once

#include "analysis/audio_decoder.h"
#include "analysis/local_audio_analyzer.h"
#include "analysis/musical_key_analyzer.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace vantorel::analysis {

class RealDft;

// Steps after opening of LocalAudioAnalyzer::analyze, without the cache.
AudioMeasurement measureSource(AudioSource& source, double transposeSemitones, double startSeconds,
                               std::optional<double> durationSeconds);

// Steps after opening of MusicalKeyAnalyzer::analyzeAudio.
KeyDetection detectKeyOfSource(AudioSource& source, double transposeSemitones, double startSeconds,
                               std::optional<double> durationSeconds);

// How many of an excerpt's `framesRead` frames the key reads, exactly as
// analyzeAudio plans them for the same start (the frames after the
// excerpt's `firstFrame` in a file of `fileFrames`, 75 s at most, with the
// same integer truncations): the measurement then finds the key that
// analyzeAudio would. 0 when too few to tell a key.
std::int64_t keyExcerptFrames(std::int64_t framesRead, double sampleRate, std::int64_t fileFrames,
                              std::int64_t firstFrame);

// Frames of `length` samples starting every `hop` samples of a stream fed
// block by block, handed out in order; frames ending past `limit` are not
// formed. A frame within one block is read where it lies; only the samples
// a frame across two blocks needs are held (at most one frame and one
// block), so an analysis over frames needs no whole excerpt.
class FrameStream {
public:
    FrameStream(std::size_t length, std::size_t hop, std::size_t limit) : length_(length), hop_(hop), limit_(limit) {}

    // Calls frame(const float* samples) for every frame the block completes.
    template <typename Frame>
    void add(std::span<const float> block, Frame&& frame) {
        const std::size_t blockStart = position_;
        position_ += block.size();
        if (length_ == 0 || hop_ == 0 || next_ + length_ > limit_) {
            held_.clear();
            return;
        }
        if (next_ < blockStart) {
            // held_ is the stream from next_ to this block: joined to the
            // block's first `length` samples, it completes every frame
            // begun before the block.
            const std::size_t joined = std::min(block.size(), length_);
            held_.insert(held_.end(), block.begin(), block.begin() + static_cast<std::ptrdiff_t>(joined));
            const std::size_t heldStart = next_;
            while (next_ < blockStart && next_ + length_ <= blockStart + joined && next_ + length_ <= limit_) {
                frame(static_cast<const float*>(held_.data() + (next_ - heldStart)));
                next_ += hop_;
            }
            if (next_ < blockStart) {
                // The block is shorter than a frame: hold it all.
                if (next_ + length_ <= limit_) {
                    held_.insert(held_.end(), block.begin() + static_cast<std::ptrdiff_t>(joined), block.end());
                    held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(next_ - heldStart));
                } else {
                    held_.clear();
                }
                return;
            }
        }
        while (next_ + length_ <= position_ && next_ + length_ <= limit_) {
            frame(static_cast<const float*>(block.data() + (next_ - blockStart)));
            next_ += hop_;
        }
        held_.clear();
        if (next_ < position_ && next_ + length_ <= limit_) {
            held_.assign(block.begin() + static_cast<std::ptrdiff_t>(next_ - blockStart), block.end());
        }
    }

private:
    std::size_t length_, hop_, limit_;
    std::size_t position_ = 0;  // samples fed so far
    std::size_t next_ = 0;      // where the next frame starts
    std::vector<float> held_;   // the stream from next_ on, when next_ lies before the block to come
};

// The key's chroma accumulated as mono samples stream past: 8192-point
// frames every 4096 samples, up to `limit` samples. The figures are those
// of MusicalKeyAnalyzer::audioChroma on the same samples.
class ChromaStream {
public:
    ChromaStream(double sampleRate, std::size_t limit);
    ChromaStream(const ChromaStream&) = delete;
    ChromaStream& operator=(const ChromaStream&) = delete;
    ~ChromaStream();

    void add(std::span<const float> mono);
    // Throws KeyAnalysisError{insufficientSignal} with fewer than 8192
    // samples fed, fewer than three counted frames or an empty chroma.
    MusicalKeyAnalyzer::Chroma chroma() const;

private:
    struct Bin {
        std::size_t index;
        std::size_t pitchClass;
        double weight;
    };
    void frame(const float* samples);
    // Whether a frame's mean square is under the silence threshold.
    static bool silent(const float* samples);

    std::unique_ptr<RealDft> dft_;
    std::vector<float> window_;
    std::vector<Bin> bins_;
    FrameStream frames_;
    MusicalKeyAnalyzer::Chroma chroma_{};
    int counted_ = 0;
};

// The mono mix, Σ channels ÷ channel count in single precision, written over
// the first channel (the excerpt is the largest allocation of an analysis,
// so the mix takes no second buffer). The other channels are released.
Samples mixToMono(Channels&& channels);

// The same mix of de-interleaved channels of one length, into `mono`.
void mixChannels(std::span<const std::span<const float>> channels, float* mono);

}  // namespace vantorel::analysis
