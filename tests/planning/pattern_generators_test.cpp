#include "planning/pattern_generators.h"

#include <gtest/gtest.h>

namespace vantorel::SafeActionPlanner {
namespace {

std::vector<std::int64_t> pitches(const std::vector<SafeMidiNote>& notes) {
    std::vector<std::int64_t> out;
    for (const auto& n : notes) out.push_back(n.pitch);
    return out;
}

std::vector<double> starts(const std::vector<SafeMidiNote>& notes) {
    std::vector<double> out;
    for (const auto& n : notes) out.push_back(n.startTime);
    return out;
}

TEST(PatternGenerators, ZeroBarsGiveNoNotes) {
    EXPECT_TRUE(drumPattern(0).empty());
    EXPECT_TRUE(bassPattern(0, 41, false).empty());
    EXPECT_TRUE(chordPattern(0, MusicalKey{9, true, "A minor"}).empty());
}

TEST(PatternGenerators, DrumGroove) {
    auto one = drumPattern(1);
    ASSERT_EQ(one.size(), 11u);
    EXPECT_EQ(one.front(), SafeMidiNote(36, 0, 0.18, 118));
    EXPECT_EQ(one.back(), SafeMidiNote(46, 3.5, 0.2, 72, 0.72));
    // General MIDI drum notes: kick 36, closed hat 42, clap 39, open hat 46.
    EXPECT_EQ(pitches(one), (std::vector<std::int64_t>{36, 42, 36, 42, 36, 42, 36, 42, 39, 39, 46}));
    for (const auto& note : one) EXPECT_FALSE(note.mute);

    auto eight = drumPattern(8);
    EXPECT_EQ(eight.size(), 88u);
    EXPECT_EQ(eight.back().startTime, 31.5);
    EXPECT_EQ(eight[11], SafeMidiNote(36, 4, 0.18, 118));
}

TEST(PatternGenerators, BasslineClimbsAMinorThirdEveryOtherBar) {
    auto plain = bassPattern(2, 41, false);
    EXPECT_EQ(pitches(plain), (std::vector<std::int64_t>{41, 41, 41, 41, 41, 41, 41, 44}));
    EXPECT_EQ(starts(plain), (std::vector<double>{0.5, 1.5, 2.5, 3.5, 4.5, 5.5, 6.5, 7.5}));
    EXPECT_EQ(plain[0], SafeMidiNote(41, 0.5, 0.32, 108));
    EXPECT_EQ(plain[1].velocity, 98);

    auto rolling = bassPattern(2, 36, true);
    ASSERT_EQ(rolling.size(), 10u);
    EXPECT_EQ(rolling[2], SafeMidiNote(46, 2.25, 0.16, 78, 0.82));
    EXPECT_EQ(rolling[4], SafeMidiNote(36, 3.5, 0.2, 94));
    EXPECT_EQ(rolling[9], SafeMidiNote(39, 7.5, 0.2, 94));
}

TEST(PatternGenerators, ChordProgressions) {
    auto minor = chordPattern(4, MusicalKey{9, true, "A minor"});
    EXPECT_EQ(pitches(minor), (std::vector<std::int64_t>{57, 60, 64, 53, 57, 60, 60, 64, 67, 55, 59, 62}));
    EXPECT_EQ(minor[0], SafeMidiNote(57, 0, 3.75, 88));
    EXPECT_EQ(minor[1], SafeMidiNote(60, 0, 3.75, 80));
    EXPECT_EQ(minor[11].startTime, 12.0);

    auto major = chordPattern(8, MusicalKey{0, false, "C major"});
    ASSERT_EQ(major.size(), 24u);
    auto majorPitches = pitches(major);
    EXPECT_EQ(std::vector<std::int64_t>(majorPitches.begin(), majorPitches.begin() + 12),
              (std::vector<std::int64_t>{48, 52, 55, 53, 57, 60, 57, 60, 64, 55, 59, 62}));
    // Bars 5–8 repeat the four chords.
    EXPECT_EQ(major[12].pitch, major[0].pitch);
    EXPECT_EQ(major[12].startTime, 16.0);
    for (const auto& note : major) EXPECT_EQ(note.duration, 3.75);
}

}  // namespace
}  // namespace vantorel::SafeActionPlanner
