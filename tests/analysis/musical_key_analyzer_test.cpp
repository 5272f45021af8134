// Key detection from chromas (as the bridge reports them for MIDI clips) and
// from synthesised tonal audio.
#include "analysis/audio_fixture.h"
#include "analysis/musical_key_analyzer.h"
#include "support/expect_error.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <random>
#include <vector>

namespace vantorel {
namespace {

using MusicalKeyAnalyzer::detect;
using testing::Signal;
using testing::writeAudio;

const std::vector<double> kCMajorTriad = {1, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0};

KeyAnalysisErrorCase detectFailure(const std::vector<double>& chroma) {
    try {
        detect(chroma, 0, 0);
    } catch (const KeyAnalysisError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "no error";
    return KeyAnalysisErrorCase::unreadableAudio;
}

TEST(KeyFromChroma, TriadOfCIsCMajor) {
    KeyDetection detection = detect(kCMajorTriad, 0, 0);
    EXPECT_EQ(detection.key, "C major");
    EXPECT_NEAR(detection.confidence, 0.764, 0.002);
    EXPECT_EQ(detection.analyzedSeconds, 0);
    EXPECT_EQ(detect(kCMajorTriad, 0, 12.5).analyzedSeconds, 12.5);
}

TEST(KeyFromChroma, TranspositionRenamesTheKey) {
    struct Case {
        double transpose;
        const char* key;
    };
    const Case cases[] = {
        {2, "D major"},   {-1, "B major"},  {1.5, "D major"},  {-1.5, "A♯ major"}, {0.49, "C major"},
        {12, "C major"},  {-13, "B major"}, {25, "C♯ major"}, {6, "F♯ major"},    {-2.5, "A major"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.transpose);
        EXPECT_EQ(detect(kCMajorTriad, c.transpose, 0).key, c.key);
    }
}

TEST(KeyFromChroma, NoKeyInAFlatEmptyOrMisshapenChroma) {
    EXPECT_EQ(detectFailure(std::vector<double>(12, 0.5)), KeyAnalysisErrorCase::insufficientSignal);
    EXPECT_EQ(detectFailure(std::vector<double>(12, 0.0)), KeyAnalysisErrorCase::insufficientSignal);
    EXPECT_EQ(detectFailure({1, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0}), KeyAnalysisErrorCase::insufficientSignal);
    EXPECT_EQ(detectFailure({1, 0, 0, 0, 1, 0, 0, 1, 0, 0, 0, 0, 0}), KeyAnalysisErrorCase::insufficientSignal);
    EXPECT_EQ(detectFailure({}), KeyAnalysisErrorCase::insufficientSignal);
    // A negative sum has no key even with a spread.
    EXPECT_EQ(detectFailure({-1, 0, 0, 0, -1, 0, 0, -1, 0, 0, 0, 0}), KeyAnalysisErrorCase::insufficientSignal);
    // Spread just above the threshold still names a key.
    std::vector<double> barely(12, 1.0);
    barely[0] += 0.000002;
    EXPECT_NO_THROW(detect(barely, 0, 0));
    EXPECT_ERROR(detect(std::vector<double>(12, 1.0), 0, 0), KeyAnalysisError, KeyAnalysisErrorCase::insufficientSignal,
                 "Le clip ne contient pas assez de signal tonal pour déterminer une key.");
}

TEST(KeyFromChroma, TiesGoToTheLowerRoot) {
    // A chroma repeating every tritone scores root r and r + 6 alike, in
    // both modes; the reported root is always the lower of the two.
    for (int first = 0; first < 6; ++first) {
        for (int third = 0; third < 6; ++third) {
            if (third == first) continue;
            std::vector<double> chroma(12, 0.0);
            chroma[first] = chroma[first + 6] = 1.0;
            chroma[third] = chroma[third + 6] = 0.5;
            std::string key = detect(chroma, 0, 0).key;
            std::string root = key.substr(0, key.find(' '));
            auto index = std::find(MusicalKeyAnalyzer::noteNames.begin(), MusicalKeyAnalyzer::noteNames.end(), root) -
                         MusicalKeyAnalyzer::noteNames.begin();
            SCOPED_TRACE(key);
            EXPECT_LT(index, 6);
        }
    }
}

TEST(KeyFromChroma, ConfidenceStaysWithinItsBounds) {
    // The profile itself is as clear as a chroma gets: the ceiling.
    std::vector<double> major(MusicalKeyAnalyzer::majorProfile.begin(), MusicalKeyAnalyzer::majorProfile.end());
    KeyDetection clear = detect(major, 0, 0);
    EXPECT_EQ(clear.key, "C major");
    EXPECT_DOUBLE_EQ(clear.confidence, 0.96);

    std::mt19937 random(5);
    std::uniform_real_distribution<double> weight(0.0, 1.0);
    for (int trial = 0; trial < 2000; ++trial) {
        std::vector<double> chroma(12);
        for (double& v : chroma) v = weight(random);
        KeyDetection detection = detect(chroma, 0, 0);
        ASSERT_GE(detection.confidence, 0.3);
        ASSERT_LE(detection.confidence, 0.96);
    }
}

// Cadences with a bass line, as a producer's loop would carry them.
// i–iv–V–i in F minor and I–IV–V–I in D major, chords in the fourth and
// fifth octaves over a bass line: low enough to sound like a loop, high
// enough that an 8192-point spectrum resolves every semitone.
const std::vector<std::vector<int>> kFMinorCadence = {
    {53, 65, 68, 72}, {58, 70, 73, 77}, {48, 67, 72, 76}, {53, 65, 68, 72},
    {53, 65, 68, 72}, {58, 70, 73, 77}, {48, 67, 72, 76}, {53, 65, 68, 72},
};
const std::vector<std::vector<int>> kDMajorCadence = {
    {50, 74, 78, 81}, {55, 74, 79, 83}, {57, 73, 76, 81}, {50, 74, 78, 81},
    {50, 74, 78, 81}, {55, 74, 79, 83}, {57, 73, 76, 81}, {50, 74, 78, 81},
};

class KeyFromAudio : public ::testing::Test {
protected:
    std::filesystem::path file(const std::string& name) const { return home.root() / "audio" / name; }

    KeyAnalysisErrorCase failure(const std::filesystem::path& path, double start = 0,
                                 std::optional<double> duration = std::nullopt) {
        try {
            MusicalKeyAnalyzer::analyzeAudio(path, 0, start, duration);
        } catch (const KeyAnalysisError& error) {
            return error.kind();
        }
        ADD_FAILURE() << "no error for " << path;
        return KeyAnalysisErrorCase::unreadableAudio;
    }

    testing::TempHome home;
};

TEST_F(KeyFromAudio, CadencesAreHeardInTheirKey) {
    writeAudio(file("f-minor.wav"), {testing::chordSequence(kFMinorCadence, 2.0)});
    KeyDetection fMinor = MusicalKeyAnalyzer::analyzeAudio(file("f-minor.wav"), 0, 0, std::nullopt);
    EXPECT_EQ(fMinor.key, "F minor");
    EXPECT_NEAR(fMinor.analyzedSeconds, 16.0, 1e-9);
    EXPECT_GE(fMinor.confidence, 0.3);
    EXPECT_LE(fMinor.confidence, 0.96);

    // A clip transposed up a tone in Live sounds in G minor.
    EXPECT_EQ(MusicalKeyAnalyzer::analyzeAudio(file("f-minor.wav"), 2, 0, std::nullopt).key, "G minor");

    Signal dMajor = testing::chordSequence(kDMajorCadence, 2.0, 48000);
    writeAudio(file("d-major.wav"), {dMajor, dMajor}, 48000, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(MusicalKeyAnalyzer::analyzeAudio(file("d-major.wav"), 0, 0, std::nullopt).key, "D major");
    EXPECT_EQ(MusicalKeyAnalyzer::analyzeAudio(file("d-major.wav"), 0, 4.0, 8.0).analyzedSeconds, 8.0);
}

TEST_F(KeyFromAudio, ExcerptIsCappedAt75Seconds) {
    // 80 s of the cadence at a low rate keeps the file small.
    Signal loop;
    for (int i = 0; i < 5; ++i) testing::mixInto(loop, testing::chordSequence(kFMinorCadence, 2.0, 22050), loop.size());
    writeAudio(file("long.wav"), {loop}, 22050);
    KeyDetection detection = MusicalKeyAnalyzer::analyzeAudio(file("long.wav"), 0, 0, std::nullopt);
    EXPECT_EQ(detection.key, "F minor");
    EXPECT_DOUBLE_EQ(detection.analyzedSeconds, 75.0);
    EXPECT_DOUBLE_EQ(MusicalKeyAnalyzer::analyzeAudio(file("long.wav"), 0, 70.0, 30.0).analyzedSeconds, 10.0);
}

TEST_F(KeyFromAudio, TooLittleTonalSignal) {
    writeAudio(file("silence.wav"), {testing::silence(4.0)});
    EXPECT_EQ(failure(file("silence.wav")), KeyAnalysisErrorCase::insufficientSignal);

    writeAudio(file("tone.wav"), {testing::chordSequence(kFMinorCadence, 0.5)});
    EXPECT_EQ(failure(file("tone.wav"), 100.0), KeyAnalysisErrorCase::insufficientSignal);
    EXPECT_EQ(failure(file("tone.wav"), 0, -2.0), KeyAnalysisErrorCase::insufficientSignal);
    // 4096 frames are too few to read; 4097 pass the read but make no
    // 8192-point frame.
    EXPECT_EQ(failure(file("tone.wav"), 0, 4096.0 / 44100), KeyAnalysisErrorCase::insufficientSignal);
    EXPECT_EQ(failure(file("tone.wav"), 0, 4097.0 / 44100), KeyAnalysisErrorCase::insufficientSignal);
    // Two 8192-point frames are not enough: three are required.
    EXPECT_EQ(failure(file("tone.wav"), 0, 12288.0 / 44100), KeyAnalysisErrorCase::insufficientSignal);
    EXPECT_NO_THROW(MusicalKeyAnalyzer::analyzeAudio(file("tone.wav"), 0, 0, 16384.0 / 44100));

    // Tone, then silence: only the sounding frames count.
    Signal gated = testing::chordSequence({{53, 56, 60}}, 0.1);
    testing::mixInto(gated, testing::silence(3.0), gated.size());
    writeAudio(file("gated.wav"), {gated});
    EXPECT_EQ(failure(file("gated.wav")), KeyAnalysisErrorCase::insufficientSignal);
}

TEST_F(KeyFromAudio, UnreadableFiles) {
    EXPECT_EQ(failure(file("missing.wav")), KeyAnalysisErrorCase::unreadableAudio);
    testing::writeText(file("notes.wav"), "pas du tout un fichier audio\n");
    EXPECT_EQ(failure(file("notes.wav")), KeyAnalysisErrorCase::unreadableAudio);
    std::filesystem::create_directories(file("folder.wav"));
    EXPECT_EQ(failure(file("folder.wav")), KeyAnalysisErrorCase::unreadableAudio);
}

}  // namespace
}  // namespace vantorel
