// The decode-and-measure paths of both analyzers over an opened source
// (internal; not for other subsystems). The public entry points open a file
// and call these; the fuzz target calls them on bytes held in memory.
#pragma once

#include "analysis/audio_decoder.h"
#include "analysis/local_audio_analyzer.h"
#include "analysis/musical_key_analyzer.h"

#include <optional>

namespace vantorel::analysis {

// Steps after opening of LocalAudioAnalyzer::analyze, without the cache.
AudioMeasurement measureSource(AudioSource& source, double transposeSemitones, double startSeconds,
                               std::optional<double> durationSeconds);

// Steps after opening of MusicalKeyAnalyzer::analyzeAudio.
KeyDetection detectKeyOfSource(AudioSource& source, double transposeSemitones, double startSeconds,
                               std::optional<double> durationSeconds);

// The key of an excerpt already decoded and mixed to mono, `fileFrames` and
// `firstFrame` locating it in its file, exactly as analyzeAudio would find
// it when asked for the same excerpt; nothing when no key can be told.
std::optional<KeyDetection> keyOfMonoExcerpt(std::span<const float> mono, double sampleRate, std::int64_t fileFrames,
                                             std::int64_t firstFrame, double transposeSemitones);

// The mono mix, Σ channels ÷ channel count in single precision, written over
// the first channel (the excerpt is the largest allocation of an analysis,
// so the mix takes no second buffer). The other channels are released.
Samples mixToMono(Channels&& channels);

}  // namespace vantorel::analysis
