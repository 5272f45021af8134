// Signals for the analysis tests, written to disk with libsndfile so that
// the analyzers read them through the same decoder as real clips.
#pragma once

#include <sndfile.h>

#include <filesystem>
#include <vector>

namespace vantorel::testing {

using Signal = std::vector<float>;

// Writes de-interleaved channels (all of one length) as one file; 32-bit
// float WAV by default, so that every written value reads back unchanged.
void writeAudio(const std::filesystem::path& path, const std::vector<Signal>& channels, int sampleRate = 44100,
                int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT);

// A sine of `frequency` Hz starting at phase 0.
Signal sine(double frequency, double seconds, int sampleRate = 44100, double amplitude = 0.5);
Signal silence(double seconds, int sampleRate = 44100);
// ±amplitude, switching every half period.
Signal square(double frequency, double seconds, int sampleRate = 44100, double amplitude = 1.0);
Signal negated(Signal signal);

// A note with its octave and twelfth (amplitudes 1, 1/2, 1/4), so that it
// reads as a pitch rather than a bare frequency; `midi` 69 is A 440 Hz.
Signal harmonicNote(int midi, double seconds, int sampleRate = 44100, double amplitude = 0.1);
// Adds `part` into `mix` from frame `offset`, growing `mix` as needed.
void mixInto(Signal& mix, const Signal& part, std::size_t offset = 0);

// Chords in sequence, each a list of MIDI notes held for `secondsEach`.
Signal chordSequence(const std::vector<std::vector<int>>& chords, double secondsEach, int sampleRate = 44100);

}  // namespace vantorel::testing
