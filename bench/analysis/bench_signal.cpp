#include "bench_signal.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <stdexcept>
#include <vector>

namespace vantorel::bench {

namespace {

constexpr int kRate = 44100;
constexpr double kChordSeconds = 2.0;

double midiHz(int note) { return 440.0 * std::pow(2.0, (note - 69) / 12.0); }

// One 8-second pass of the loop, interleaved stereo; the file repeats it,
// which keeps a 10-minute file quick to make.
std::vector<float> makeLoop() {
    const int chords[4][4] = {{41, 65, 68, 72}, {46, 70, 73, 77}, {48, 67, 72, 76}, {41, 65, 68, 72}};
    const auto chordFrames = static_cast<std::size_t>(kChordSeconds * kRate);
    std::vector<float> out(4 * chordFrames * 2, 0.0f);
    std::mt19937 random(7);
    std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
    for (std::size_t c = 0; c < 4; ++c) {
        for (std::size_t i = 0; i < chordFrames; ++i) {
            const double t = static_cast<double>(i) / kRate;
            const double envelope = std::min(1.0, t / 0.02) * std::min(1.0, (kChordSeconds - t) / 0.02);
            double left = 0, right = 0;
            for (int n = 0; n < 4; ++n) {
                const double f = midiHz(chords[c][n]);
                const double tone = std::sin(2 * std::numbers::pi * f * t) + 0.5 * std::sin(4 * std::numbers::pi * f * t);
                left += (n == 0 ? 0.25 : 0.08) * tone * (n % 2 ? 1.1 : 0.9);
                right += (n == 0 ? 0.25 : 0.08) * tone * (n % 2 ? 0.9 : 1.1);
            }
            // A hat on every off-beat at 120 BPM: 30 ms of decaying noise.
            const double sinceHat = std::fmod(t + 0.25, 0.5);
            if (sinceHat < 0.03) {
                const double hat = 0.15 * std::exp(-sinceHat * 150) * noise(random);
                left += hat;
                right += 0.8 * hat;
            }
            const std::size_t frame = c * chordFrames + i;
            out[2 * frame] = static_cast<float>(left * envelope);
            out[2 * frame + 1] = static_cast<float>(right * envelope);
        }
    }
    return out;
}

}  // namespace

void writeLoop(const std::filesystem::path& path, double seconds) {
    if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path());
    SF_INFO info{};
    info.samplerate = kRate;
    info.channels = 2;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (file == nullptr) throw std::runtime_error("cannot write " + path.string());
    const std::vector<float> loop = makeLoop();
    const auto loopFrames = static_cast<sf_count_t>(loop.size() / 2);
    auto remaining = static_cast<sf_count_t>(seconds * kRate);
    bool ok = true;
    while (remaining > 0 && ok) {
        const sf_count_t frames = std::min(remaining, loopFrames);
        ok = sf_writef_float(file, loop.data(), frames) == frames;
        remaining -= frames;
    }
    sf_close(file);
    if (!ok) throw std::runtime_error("short write to " + path.string());
}

}  // namespace vantorel::bench
