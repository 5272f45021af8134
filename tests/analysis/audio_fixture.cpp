#include "analysis/audio_fixture.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>
#include <string>

namespace vantorel::testing {

void writeAudio(const std::filesystem::path& path, const std::vector<Signal>& channels, int sampleRate, int format) {
    if (channels.empty()) throw std::invalid_argument("no channel to write");
    std::filesystem::create_directories(path.parent_path());
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = static_cast<int>(channels.size());
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) throw std::runtime_error("cannot write " + path.string() + ": " + sf_strerror(nullptr));
    const std::size_t frames = channels[0].size();
    std::vector<float> interleaved(frames * channels.size());
    for (std::size_t i = 0; i < frames; ++i) {
        for (std::size_t c = 0; c < channels.size(); ++c) interleaved[i * channels.size() + c] = channels[c].at(i);
    }
    // Full-scale values must reach the file as full scale, not be scaled
    // down to avoid clipping.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    sf_count_t written = sf_writef_float(file, interleaved.data(), static_cast<sf_count_t>(frames));
    sf_close(file);
    if (written != static_cast<sf_count_t>(frames)) throw std::runtime_error("short write to " + path.string());
}

Signal sine(double frequency, double seconds, int sampleRate, double amplitude) {
    Signal out(static_cast<std::size_t>(seconds * sampleRate));
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = static_cast<float>(amplitude * std::sin(2.0 * std::numbers::pi * frequency * static_cast<double>(i) /
                                                         sampleRate));
    }
    return out;
}

Signal silence(double seconds, int sampleRate) { return Signal(static_cast<std::size_t>(seconds * sampleRate), 0.0f); }

Signal square(double frequency, double seconds, int sampleRate, double amplitude) {
    Signal out(static_cast<std::size_t>(seconds * sampleRate));
    for (std::size_t i = 0; i < out.size(); ++i) {
        double phase = std::fmod(frequency * static_cast<double>(i) / sampleRate, 1.0);
        out[i] = static_cast<float>(phase < 0.5 ? amplitude : -amplitude);
    }
    return out;
}

Signal negated(Signal signal) {
    for (float& x : signal) x = -x;
    return signal;
}

Signal harmonicNote(int midi, double seconds, int sampleRate, double amplitude) {
    const double fundamental = 440.0 * std::pow(2.0, (midi - 69) / 12.0);
    Signal out(static_cast<std::size_t>(seconds * sampleRate), 0.0f);
    // Octave and twelfth only: the fifth and seventh harmonics of a real
    // tone add thirds and sevenths that blur a short synthetic chord.
    const double partials[][2] = {{1, 1.0}, {2, 0.5}, {3, 0.25}};
    for (const auto& [ratio, gain] : partials) {
        if (fundamental * ratio >= sampleRate / 2.0) break;
        mixInto(out, sine(fundamental * ratio, seconds, sampleRate, amplitude * gain));
    }
    // 20 ms raised-cosine attack and release: a note cut dead clicks, and a
    // click is energy in every pitch class.
    const std::size_t ramp = std::min(out.size() / 2, static_cast<std::size_t>(0.02 * sampleRate));
    for (std::size_t i = 0; i < ramp; ++i) {
        auto gain = static_cast<float>(0.5 - 0.5 * std::cos(std::numbers::pi * static_cast<double>(i) / ramp));
        out[i] *= gain;
        out[out.size() - 1 - i] *= gain;
    }
    return out;
}

void mixInto(Signal& mix, const Signal& part, std::size_t offset) {
    if (mix.size() < offset + part.size()) mix.resize(offset + part.size(), 0.0f);
    for (std::size_t i = 0; i < part.size(); ++i) mix[offset + i] += part[i];
}

Signal chordSequence(const std::vector<std::vector<int>>& chords, double secondsEach, int sampleRate) {
    Signal out;
    const auto length = static_cast<std::size_t>(secondsEach * sampleRate);
    for (std::size_t c = 0; c < chords.size(); ++c) {
        for (int note : chords[c]) mixInto(out, harmonicNote(note, secondsEach, sampleRate), c * length);
    }
    return out;
}

}  // namespace vantorel::testing
