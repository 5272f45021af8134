// Audio files come from anywhere (sample packs, downloads, Live's own
// recordings cut short). Whatever the bytes, decoding and measuring them
// gives a measurement whose every number is finite and within its range, or
// one of the three analysis errors; the key analysis likewise.
//
// The first three bytes pick the arguments (transposition, start, duration);
// the rest is the file.
#include "analysis/analysis_pipeline.h"
#include "analysis/audio_decoder.h"

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <span>

namespace {

using namespace vantorel;

void require(bool condition) {
    if (!condition) std::abort();
}

bool within(double value, double low, double high) { return std::isfinite(value) && value >= low && value <= high; }

void checkMeasurement(const AudioMeasurement& m) {
    require(m.analyzedSeconds > 0 && std::isfinite(m.analyzedSeconds));
    require(m.analyzedSeconds <= 90.0 + 1e-9);
    require(std::isfinite(m.sourceDurationSeconds) && m.sampleRate > 0 && m.channelCount > 0);
    require(within(m.samplePeakDbFS, -120, 1e4) && within(m.rmsDbFS, -120, 1e4));
    require(m.rmsDbFS <= m.samplePeakDbFS + 1e-9);
    require(within(m.crestFactorDb, 0, 1e4) && within(m.dynamicRangeDb, 0, 60));
    require(std::isfinite(m.dcOffset) && within(m.clippedSamplePercent, 0, 100));
    require(within(m.spectralCentroidHz, 0, 20000));
    require(m.stereoCorrelation.has_value() == (m.channelCount >= 2));
    if (m.stereoCorrelation) require(within(*m.stereoCorrelation, -1, 1) && within(*m.stereoWidthPercent, 0, 400));
    require(m.bandEnergyPercent.empty() || m.bandEnergyPercent.size() == 6);
    double shares = 0;
    for (const auto& [name, share] : m.bandEnergyPercent) {
        // Regression: a band share rounded a last bit above 100 (energy × 100 ÷ total).
        require(within(share, 0, 100 + 1e-9));
        shares += share;
    }
    require(m.bandEnergyPercent.empty() || shares == 0 || std::fabs(shares - 100) < 1e-6);
    require(m.waveform.size() == 120);
    for (double peak : m.waveform) require(std::isfinite(peak) && peak >= 0);
    require(m.spectrogram.size() <= 80);
    for (const auto& row : m.spectrogram) {
        require(row.size() == 48);
        for (double cell : row) require(within(cell, 0, 1));
    }
    // Loudness figures are finite when present; the gated ones need a
    // gating block, the short-term ones a whole 3 s window.
    for (const auto& figure : {m.integratedLufs, m.loudnessRangeLu, m.shortTermLufsMax, m.momentaryLufsMax,
                               m.truePeakDbTP}) {
        if (figure) require(std::isfinite(*figure));
    }
    if (m.integratedLufs) require(m.momentaryLufsMax.has_value());
    if (m.loudnessRangeLu) require(*m.loudnessRangeLu >= 0 && m.shortTermLufsMax.has_value());
    require(m.truePeakDbTP.has_value() && *m.truePeakDbTP >= m.samplePeakDbFS - 1e-6);
    require(m.loudnessCurve.size() <= 120);
    for (double point : m.loudnessCurve) require(within(point, -120, 1e4));
    require(m.key.has_value() == m.keyConfidence.has_value());
    if (m.keyConfidence) require(within(*m.keyConfidence, 0.3, 0.96));
    // The JSON form must always be writable (UTF-8 strings, no NaN).
    require(!m.dictionary().dump().empty());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const double transpose = static_cast<double>(static_cast<std::int8_t>(data[0])) / 4.0;
    const double start = static_cast<double>(data[1]) / 64.0;
    const std::optional<double> duration =
        data[2] == 0 ? std::nullopt : std::optional<double>(static_cast<double>(data[2]) / 16.0 - 1.0);
    std::span<const std::uint8_t> bytes(data + 3, size - 3);

    try {
        analysis::AudioSource source = analysis::AudioSource::openMemory(bytes);
        checkMeasurement(analysis::measureSource(source, transpose, start, duration));
    } catch (const analysis::DecodeError&) {
    } catch (const AudioMeasurementError&) {
    }
    try {
        analysis::AudioSource source = analysis::AudioSource::openMemory(bytes);
        KeyDetection detection = analysis::detectKeyOfSource(source, transpose, start, duration);
        require(within(detection.confidence, 0.3, 0.96) && within(detection.analyzedSeconds, 0, 75 + 1e-9));
    } catch (const analysis::DecodeError&) {
    } catch (const KeyAnalysisError&) {
    }
    return 0;
}
