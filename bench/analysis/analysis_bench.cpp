// Cost of one measurement of a 90 s stereo 44.1 kHz 16-bit clip: a cache
// miss (decode, levels, spectrum, image, key, loudness, true peak), a cache hit, and the key
// analysis of 75 s on its own. Goals: miss ≤ 80 ms (median), hit ≤ 20 µs,
// key ≤ 60 ms. A miss decodes and takes the levels, the image and the
// K-weighting on the calling thread, and mixes to mono, oversamples and
// takes what reads the mix on a second one; the CPU column is the calling
// thread's.
#include "analysis/analysis_pipeline.h"
#include "analysis/audio_cache.h"
#include "analysis/audio_decoder.h"
#include "analysis/local_audio_analyzer.h"
#include "analysis/loudness_meter.h"
#include "analysis/musical_key_analyzer.h"
#include "bench_signal.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <span>
#include <vector>

namespace {

namespace fs = std::filesystem;
using namespace vantorel;

const fs::path& ninetySeconds() {
    static const fs::path path = [] {
        const char* tmp = std::getenv("TMPDIR");
        fs::path folder = fs::path(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") / "vantorel-analysis-bench";
        fs::path file = folder / "loop-90s.wav";
        if (!fs::exists(file)) bench::writeLoop(file, 90.0);
        return file;
    }();
    return path;
}

void BM_AnalyzeCacheMiss(benchmark::State& state) {
    const fs::path& file = ninetySeconds();
    for (auto _ : state) {
        analysis::sharedAudioCache().clear();
        benchmark::DoNotOptimize(LocalAudioAnalyzer::analyze(file));
    }
}
BENCHMARK(BM_AnalyzeCacheMiss)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_AnalyzeCacheHit(benchmark::State& state) {
    const fs::path& file = ninetySeconds();
    analysis::sharedAudioCache().clear();
    LocalAudioAnalyzer::analyze(file);
    for (auto _ : state) benchmark::DoNotOptimize(LocalAudioAnalyzer::analyze(file));
}
BENCHMARK(BM_AnalyzeCacheHit)->Unit(benchmark::kMicrosecond)->Repetitions(5)->ReportAggregatesOnly(true);

void BM_AnalyzeAudio75s(benchmark::State& state) {
    const fs::path& file = ninetySeconds();
    for (auto _ : state) benchmark::DoNotOptimize(MusicalKeyAnalyzer::analyzeAudio(file, 0, 0, std::nullopt));
}
BENCHMARK(BM_AnalyzeAudio75s)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true);

// The parts of a miss, to see where its time goes.
void BM_Decode90s(benchmark::State& state) {
    const fs::path& file = ninetySeconds();
    for (auto _ : state) {
        analysis::AudioSource source = analysis::AudioSource::openFile(file);
        benchmark::DoNotOptimize(source.read(0, source.frames()));
    }
}
BENCHMARK(BM_Decode90s)->Unit(benchmark::kMillisecond);

void BM_SpectralSummary90s(benchmark::State& state) {
    analysis::AudioSource source = analysis::AudioSource::openFile(ninetySeconds());
    const analysis::Samples mono = analysis::mixToMono(source.read(0, source.frames()));
    for (auto _ : state) benchmark::DoNotOptimize(LocalAudioAnalyzer::spectralSummary(mono, 44100));
}
BENCHMARK(BM_SpectralSummary90s)->Unit(benchmark::kMillisecond);

void BM_AudioChroma75s(benchmark::State& state) {
    analysis::AudioSource source = analysis::AudioSource::openFile(ninetySeconds());
    const analysis::Samples mono = analysis::mixToMono(source.read(0, 75 * 44100));
    for (auto _ : state) benchmark::DoNotOptimize(MusicalKeyAnalyzer::audioChroma(mono, 44100));
}
BENCHMARK(BM_AudioChroma75s)->Unit(benchmark::kMillisecond);

// The loudness filters and the true-peak oversampling of the same excerpt,
// each on one thread (the measurement runs the second beside the decoding).
void BM_LoudnessFilters90s(benchmark::State& state) {
    analysis::AudioSource source = analysis::AudioSource::openFile(ninetySeconds());
    const analysis::Channels channels = source.read(0, source.frames());
    const std::vector<std::span<const float>> views(channels.begin(), channels.end());
    for (auto _ : state) {
        analysis::LoudnessMeter meter(44100, views.size());
        meter.addLoudnessOnly(views);
        benchmark::DoNotOptimize(meter.summary());
    }
}
BENCHMARK(BM_LoudnessFilters90s)->Unit(benchmark::kMillisecond);

void BM_TruePeak90s(benchmark::State& state) {
    analysis::AudioSource source = analysis::AudioSource::openFile(ninetySeconds());
    const analysis::Channels channels = source.read(0, source.frames());
    const std::vector<std::span<const float>> views(channels.begin(), channels.end());
    for (auto _ : state) {
        analysis::LoudnessMeter meter(44100, views.size());
        meter.addTruePeakOnly(views);
        benchmark::DoNotOptimize(meter.summary());
    }
}
BENCHMARK(BM_TruePeak90s)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
