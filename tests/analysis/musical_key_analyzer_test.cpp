// Key detection from chromas (as the bridge reports them for MIDI clips) and
// from synthesised tonal audio.
#include "analysis/audio_fixture.h"
#include "analysis/musical_key_analyzer.h"
#include "support/temp_home.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

namespace vantorel {
namespace {

using MusicalKeyAnalyzer::detect;

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

TEST(KeyFromChroma, TriadOfCIsCMajorWithEMinorRunnerUp) {
    KeyDetection detection = detect(kCMajorTriad, 0, 0);
    EXPECT_EQ(detection.key, "C major");
    EXPECT_NEAR(detection.confidence, 0.764, 0.002);
    EXPECT_EQ(detection.analyzedSeconds, 0);

    // The confidence is drawn from the margin over the runner-up, which must
    // be E minor (the triad is also E minor's upper third).
    double best = MusicalKeyAnalyzer::correlation(std::span<const double, 12>(kCMajorTriad.data(), 12),
                                                  MusicalKeyAnalyzer::majorProfile, 0);
    double eMinor = MusicalKeyAnalyzer::correlation(std::span<const double, 12>(kCMajorTriad.data(), 12),
                                                    MusicalKeyAnalyzer::minorProfile, 4);
    EXPECT_NEAR(detection.confidence, 0.43 + 2.2 * (best - eMinor) + 0.45 * (best - 0.45), 1e-12);
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

TEST(KeyFromChroma, MinorKeysAndSharpsAreNamedWithTheSharpSign) {
    // F♯ minor: F♯ A C♯.
    std::vector<double> chroma(12, 0.0);
    chroma[6] = 1;
    chroma[9] = 1;
    chroma[1] = 1;
    EXPECT_EQ(detect(chroma, 0, 0).key, "F\u266F minor");
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

    try {
        detect(std::vector<double>(12, 1.0), 0, 0);
        FAIL();
    } catch (const KeyAnalysisError& error) {
        EXPECT_EQ(error.type(), "KeyAnalysisError");
        EXPECT_EQ(static_cast<const Error&>(error).caseName(), "insufficientSignal");
        EXPECT_EQ(error.description(), "Le clip ne contient pas assez de signal tonal pour déterminer une key.");
    }
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

}  // namespace
}  // namespace vantorel
