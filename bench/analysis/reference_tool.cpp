// analysis_reference_tool FILE: the loudness figures of vantorel-cli measure
// on FILE next to libebur128's on the same frames (the first 90 s, as the
// measurement reads), for rendered music such as a master capture. Prints one
// line and exits 1 when the two disagree by more than 0.1 LU integrated,
// 0.2 LU range or 0.2 dB true peak.
//
// libebur128 takes its range from one short-term value a second, where the
// definition asks for ten; its short-term loudness is read every 100 ms and
// gated as the definition says, as the analysis tests do.
#include "analysis/audio_decoder.h"
#include "analysis/local_audio_analyzer.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <vector>

namespace {

using namespace vantorel;

struct Reference {
    double integrated = 0, range = 0, truePeak = 0;
};

Reference referenceOf(const std::vector<float>& interleaved, std::size_t channels, unsigned long rate) {
    Reference reference;
    const std::size_t frames = interleaved.size() / channels;
    ebur128_state* whole = ebur128_init(static_cast<unsigned>(channels), rate, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    ebur128_state* stepped = ebur128_init(static_cast<unsigned>(channels), rate, EBUR128_MODE_S);
    ebur128_add_frames_float(whole, interleaved.data(), frames);
    ebur128_loudness_global(whole, &reference.integrated);
    double peak = 0;
    for (unsigned c = 0; c < channels; ++c) {
        double channelPeak = 0;
        ebur128_true_peak(whole, c, &channelPeak);
        peak = std::max(peak, channelPeak);
    }
    reference.truePeak = 20 * std::log10(peak);

    const std::size_t step = rate / 10;
    std::vector<double> gated;
    double energy = 0;
    for (std::size_t done = 0; done + step <= frames; done += step) {
        ebur128_add_frames_float(stepped, interleaved.data() + done * channels, step);
        double value = 0;
        if (done + step >= rate * 3 && ebur128_loudness_shortterm(stepped, &value) == EBUR128_SUCCESS && value > -70) {
            gated.push_back(value);
            energy += std::pow(10.0, value / 10);
        }
    }
    ebur128_destroy(&whole);
    ebur128_destroy(&stepped);
    if (!gated.empty()) {
        const double threshold = 10 * std::log10(energy / static_cast<double>(gated.size())) - 20;
        std::erase_if(gated, [&](double value) { return value <= threshold; });
        std::sort(gated.begin(), gated.end());
        auto at = [&](double q) {
            return gated[static_cast<std::size_t>(std::round(static_cast<double>(gated.size() - 1) * q))];
        };
        if (!gated.empty()) reference.range = at(0.95) - at(0.10);
    }
    return reference;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: analysis_reference_tool FILE\n");
        return 2;
    }
    try {
        const AudioMeasurement ours = LocalAudioAnalyzer::analyze(argv[1]);
        analysis::AudioSource source = analysis::AudioSource::openFile(argv[1]);
        const auto channels = static_cast<std::size_t>(source.channelCount());
        const auto frames = static_cast<std::int64_t>(std::round(ours.analyzedSeconds * ours.sampleRate));
        std::vector<float> interleaved(static_cast<std::size_t>(frames) * channels);
        source.seek(0);
        interleaved.resize(static_cast<std::size_t>(source.readFrames(interleaved.data(), frames)) * channels);
        const Reference reference = referenceOf(interleaved, channels, static_cast<unsigned long>(ours.sampleRate));
        if (!ours.integratedLufs || !ours.loudnessRangeLu || !ours.truePeakDbTP) {
            std::printf("%.1f s: no integrated loudness, range or true peak to compare\n", ours.analyzedSeconds);
            return 1;
        }
        const double integrated = *ours.integratedLufs - reference.integrated;
        const double range = *ours.loudnessRangeLu - reference.range;
        const double truePeak = *ours.truePeakDbTP - reference.truePeak;
        const bool agree = std::fabs(integrated) <= 0.1 && std::fabs(range) <= 0.2 && std::fabs(truePeak) <= 0.2;
        std::printf(
            "%.1f s at %.0f Hz: integrated %.2f LUFS (libebur128 %.2f, %+.3f LU), range %.2f LU (%.2f, %+.3f LU), "
            "true peak %.2f dBTP (%.2f, %+.3f dB): %s\n",
            ours.analyzedSeconds, ours.sampleRate, *ours.integratedLufs, reference.integrated, integrated,
            *ours.loudnessRangeLu, reference.range, range, *ours.truePeakDbTP, reference.truePeak, truePeak,
            agree ? "within 0.1 LU, 0.2 LU, 0.2 dB" : "OUTSIDE 0.1 LU, 0.2 LU, 0.2 dB");
        return agree ? 0 : 1;
    } catch (const std::exception& error) {
        std::fprintf(stderr, "analysis_reference_tool: %s\n", error.what());
        return 1;
    }
}
