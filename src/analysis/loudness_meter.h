// Loudness and true peak as broadcasters and streaming platforms measure
// them (ITU-R BS.1770-4, EBU R128 with Tech 3341 and 3342), fed block by
// block (internal; the analyzer feeds it while it decodes, tests feed it
// whole signals through LocalAudioAnalyzer::loudness).
//
// The meter keeps only the K-weighted energy of each 100 ms of signal (900
// values for a 90 s excerpt) and a few samples of filter history, so it
// measures any length in constant memory apart from that list.
#pragma once

#include "analysis/local_audio_analyzer.h"

#include <array>
#include <cstddef>
#include <span>
#include <vector>

namespace vantorel::analysis {

class LoudnessMeter {
public:
    LoudnessMeter(double sampleRate, std::size_t channelCount);

    // Adds the next frames: one span per channel, all of one length.
    // Non-finite samples count as silence.
    void add(std::span<const std::span<const float>> channels);

    // The figures of everything added so far.
    LocalAudioAnalyzer::LoudnessSummary summary() const;

    // Only the true peak; the loudness filters are not run. Used where the
    // oversampling has its own thread.
    void addTruePeakOnly(std::span<const std::span<const float>> channels);
    void addLoudnessOnly(std::span<const std::span<const float>> channels);
    // Folds the true peak another meter measured over the same frames.
    void takeTruePeak(const LoudnessMeter& other);

    // How many interpolated values each input sample becomes (4 below
    // 96 kHz, 2 below 192 kHz, else 1).
    std::size_t oversampling() const { return factor_; }
    // Frames in 100 ms. Blocks of a whole number of them give exactly the
    // figures of one add() of the whole signal.
    std::size_t subBlockFrames() const { return subBlockFrames_; }

private:
    struct Biquad {
        double b0, b1, b2, a1, a2;
    };
    struct ChannelState {
        double weight = 1.0;
        // The K-weighting stages' last two inputs and outputs: x the
        // samples, y the shelf's output (the high-pass's input), z the
        // high-pass's.
        double x1 = 0, x2 = 0, y1 = 0, y2 = 0, z1 = 0, z2 = 0;
        // The last input samples, oldest first, for the interpolator.
        std::vector<float> history;
    };

    void weigh(std::span<const std::span<const float>> channels);
    template <typename Value>
    void weighChannels(std::span<const std::span<const float>> channels, std::size_t first, std::size_t firstIndex);
    void interpolate(std::span<const std::span<const float>> channels);

    std::size_t subBlockFrames_;  // 100 ms
    Biquad shelf_{}, highPass_{};
    std::vector<ChannelState> channels_;
    std::vector<double> subBlocks_;  // weighted energy of each complete 100 ms
    double partial_ = 0;             // of the 100 ms under way
    std::size_t partialFrames_ = 0;

    std::size_t factor_ = 1;
    std::size_t taps_ = 0;               // per phase
    std::vector<float> coefficients_;    // phases 1…factor−1, taps_ each; phase 0 is the sample itself
    double levelGain_ = 0;               // largest |Σ coefficients| of a phase
    double spreadGain_ = 0;              // largest Σ |coefficients| of a phase
    float truePeak_ = 0;
    std::vector<float> stretchRanges_;   // lowest and highest sample of each stretch of the block
    std::vector<double> bounds_;         // of any value interpolated in each stretch of one channel
    std::vector<float> joined_;          // each channel's history, then the block's first samples
    std::vector<float> cleaned_;         // channels holding samples that must be made finite first
    std::vector<const float*> sources_;  // each channel's block, or its cleaned copy
};

}  // namespace vantorel::analysis
