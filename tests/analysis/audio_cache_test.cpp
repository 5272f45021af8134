// The process-wide memo of measurements: what makes two requests the same,
// what a hit skips, how the cache empties, and that concurrent analyses
// neither corrupt it nor each other.
#include "analysis/audio_cache.h"
#include "analysis/audio_fixture.h"
#include "analysis/local_audio_analyzer.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

namespace vantorel {
namespace {

namespace fs = std::filesystem;
using analysis::makeCacheKey;
using analysis::sharedAudioCache;
using testing::Signal;

class AudioCache : public ::testing::Test {
protected:
    void SetUp() override { sharedAudioCache().clear(); }
    void TearDown() override { sharedAudioCache().clear(); }

    fs::path file(const std::string& name) const { return home.root() / "audio" / name; }

    // Replaces the file's bytes with zeros, keeping its size and its
    // modification date: only a measurement that never reopens the file can
    // still come back.
    static void spoil(const fs::path& path) {
        const auto size = fs::file_size(path);
        const auto modified = fs::last_write_time(path);
        std::ofstream(path, std::ios::binary | std::ios::trunc) << std::string(size, '\0');
        fs::last_write_time(path, modified);
    }

    testing::TempHome home;
};

TEST_F(AudioCache, KeyRoundsItsArgumentsHalvesAwayFromZero) {
    const auto path = file("tone.wav");
    testing::writeAudio(path, {testing::sine(440, 0.5)});

    auto key = makeCacheKey(path, 0.125, 1.0625, 2.0625);
    EXPECT_EQ(key.path, path.string());
    EXPECT_EQ(key.size, fs::file_size(path));
    EXPECT_GT(key.modified, 1.0e9);
    EXPECT_EQ(key.transpose, 13);
    EXPECT_EQ(makeCacheKey(path, -0.125, 0, std::nullopt).transpose, -13);
    EXPECT_EQ(makeCacheKey(path, 0.124, 0, std::nullopt).transpose, 12);
    EXPECT_EQ(key.startMilliseconds, 1063);
    EXPECT_EQ(makeCacheKey(path, 0, -3.0, std::nullopt).startMilliseconds, 0);
    EXPECT_EQ(key.durationMilliseconds, 2063);

    // A missing duration reads 90 s; a zero or negative one reads nothing.
    // They must never share an entry.
    EXPECT_FALSE(makeCacheKey(path, 0, 0, std::nullopt).durationMilliseconds);
    EXPECT_EQ(makeCacheKey(path, 0, 0, -4.0).durationMilliseconds, 0);
    EXPECT_EQ(makeCacheKey(path, 0, 0, 0.0).durationMilliseconds, 0);
    EXPECT_NE(makeCacheKey(path, 0, 0, std::nullopt), makeCacheKey(path, 0, 0, 0.0));

    // The same file by another spelling of its path is the same file.
    EXPECT_EQ(makeCacheKey(home.root() / "audio" / "." / "tone.wav", 0, 0, std::nullopt),
              makeCacheKey(path, 0, 0, std::nullopt));

    auto missing = makeCacheKey(file("missing.wav"), 0, 0, std::nullopt);
    EXPECT_EQ(missing.size, 0u);
    EXPECT_EQ(missing.modified, 0.0);
}

TEST_F(AudioCache, HitReturnsWithoutReopeningTheFile) {
    const auto path = file("tone.wav");
    testing::writeAudio(path, {testing::sine(440, 1.0)});
    AudioMeasurement first = LocalAudioAnalyzer::analyze(path, 0.5, 0.1, 0.6);
    ASSERT_EQ(sharedAudioCache().size(), 1u);

    spoil(path);
    AudioMeasurement again = LocalAudioAnalyzer::analyze(path, 0.5, 0.1, 0.6);
    EXPECT_EQ(again.dictionary(), first.dictionary());
    // 0.504 semitones is still 50 cents: the same entry.
    EXPECT_EQ(LocalAudioAnalyzer::analyze(path, 0.504, 0.1004, 0.6004).dictionary(), first.dictionary());

    // Another excerpt of the spoilt file must read it, and finds zeros.
    EXPECT_THROW(LocalAudioAnalyzer::analyze(path, 0.5, 0.2, 0.6), AudioMeasurementError);
    EXPECT_EQ(sharedAudioCache().size(), 1u) << "a failed analysis is not remembered";

    // A file that changes on disk gets a new key: removing it is such a
    // change (its size and date become unknown).
    fs::remove(path);
    try {
        LocalAudioAnalyzer::analyze(path, 0.5, 0.1, 0.6);
        FAIL();
    } catch (const AudioMeasurementError& error) {
        EXPECT_EQ(error.kind(), AudioMeasurementErrorCase::unreadableAudio);
    }
}

TEST_F(AudioCache, TheTwentyFifthKeyEmptiesTheCache) {
    const auto path = file("tone.wav");
    testing::writeAudio(path, {testing::sine(440, 1.0)});
    for (int i = 0; i < 24; ++i) LocalAudioAnalyzer::analyze(path, 0, i * 0.01);
    EXPECT_EQ(sharedAudioCache().size(), 24u);
    // A hit adds nothing.
    LocalAudioAnalyzer::analyze(path, 0, 0.0);
    EXPECT_EQ(sharedAudioCache().size(), 24u);

    LocalAudioAnalyzer::analyze(path, 0, 0.5);
    EXPECT_EQ(sharedAudioCache().size(), 1u) << "all-or-nothing eviction";
    spoil(path);
    EXPECT_NO_THROW(LocalAudioAnalyzer::analyze(path, 0, 0.5));
    EXPECT_THROW(LocalAudioAnalyzer::analyze(path, 0, 0.0), AudioMeasurementError) << "evicted with the others";
}

TEST_F(AudioCache, ConcurrentAnalysesAgreeWithSerialOnes) {
    std::vector<fs::path> paths;
    for (int i = 0; i < 3; ++i) {
        paths.push_back(file("tone" + std::to_string(i) + ".wav"));
        Signal left = testing::sine(220.0 * (i + 1), 3.0);
        Signal right = testing::sine(330.0 * (i + 1), 3.0, 44100, 0.25);
        testing::writeAudio(paths.back(), {left, right});
    }
    std::vector<nlohmann::json> expected;
    for (const auto& path : paths) expected.push_back(LocalAudioAnalyzer::analyze(path, 0, 0.5).dictionary());
    sharedAudioCache().clear();

    // Every thread misses at first on the same keys, so the same key is
    // computed by several threads at once.
    constexpr int kThreads = 4;
    std::vector<std::vector<nlohmann::json>> seen(kThreads);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                for (const auto& path : paths) seen[t].push_back(LocalAudioAnalyzer::analyze(path, 0, 0.5).dictionary());
            }
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t) {
        ASSERT_EQ(seen[t].size(), 9u);
        for (std::size_t i = 0; i < seen[t].size(); ++i) EXPECT_EQ(seen[t][i], expected[i % 3]) << t << " " << i;
    }
    EXPECT_EQ(sharedAudioCache().size(), 3u);
}

}  // namespace
}  // namespace vantorel
