#include "project/als_summary_parser.h"

#include "project/live_set_fixture.h"

#include <gtest/gtest.h>

#include <chrono>

namespace vantorel {
namespace {

using testing::device;
using testing::drumRack;
using testing::effectRack;
using testing::FixtureClip;
using testing::FixtureSet;
using testing::FixtureTrack;
using Place = FixtureClip::Place;

ALSDocumentFacts parsed(const FixtureSet& set) {
    auto facts = ALSXMLSummaryParser::parseDocument(testing::liveSetXml(set));
    EXPECT_TRUE(facts.has_value());
    return facts.value_or(ALSDocumentFacts{});
}

FixtureTrack track(std::string kind, std::string user, std::string effective = "") {
    FixtureTrack t;
    t.kind = std::move(kind);
    t.userName = std::move(user);
    t.effectiveName = std::move(effective);
    return t;
}

TEST(ALSXMLSummaryParser, NamesComeFromTheTrackOwnNameNotFromRackBranches) {
    FixtureSet set;
    FixtureTrack drums = track("MidiTrack", "", "Drums");
    drums.devices = {drumRack({"Kick 909", "Snare Tight", "Hat Closed"}), device("Compressor2")};
    FixtureTrack pad = track("AudioTrack", "Pad Wide");
    pad.devices = {device("Eq8"), effectRack({"Wet", "Dry"}, {"Reverb", "Delay"}), device("Utility")};
    FixtureTrack unnamed = track("MidiTrack", "", "");
    unnamed.devices = {effectRack({"Chain"}, {"Saturator"})};
    FixtureTrack group = track("GroupTrack", "", "1-Audio");
    set.tracks = {drums, pad, unnamed, group, track("ReturnTrack", "A-Reverb")};

    ALSDocumentFacts facts = parsed(set);
    ASSERT_EQ(facts.tracks.size(), 4u) << "return tracks are not counted";
    EXPECT_EQ(facts.tracks[0].name, "Drums");
    EXPECT_EQ(facts.tracks[1].name, "Pad Wide");
    EXPECT_EQ(facts.tracks[2].name, "Piste 3") << "a chain's name never names the track";
    EXPECT_EQ(facts.tracks[3].name, "1-Audio");

    // A rack is one device of the track's chain, whatever it nests.
    EXPECT_EQ(facts.tracks[0].deviceCount, 2);
    EXPECT_EQ(facts.tracks[1].deviceCount, 3);
    EXPECT_EQ(facts.tracks[2].deviceCount, 1);
    EXPECT_EQ(facts.tracks[3].deviceCount, 0);
}

TEST(ALSXMLSummaryParser, ArrangementLengthComesFromArrangementClipsOnly) {
    FixtureSet set;
    FixtureTrack lead = track("MidiTrack", "Lead");
    lead.clips = {{16, 48, Place::arrangement}, {0, 128, Place::session}, {0, 400, Place::takeLane}};
    FixtureTrack frozen = track("AudioTrack", "Frozen Bass");
    frozen.clips = {{0, 32, Place::session}, {0, 1024, Place::freeze}};
    set.tracks = {lead, frozen};

    ALSDocumentFacts facts = parsed(set);
    EXPECT_EQ(facts.arrangementLengthBeats, 48) << "session loops and take lanes do not lengthen the arrangement";
    EXPECT_EQ(facts.longestClipBeats, 400) << "take-lane clips are the producer's clips";
    EXPECT_EQ(facts.clipCount, 4) << "frozen renders count nowhere";
    ASSERT_EQ(facts.tracks.size(), 2u);
    EXPECT_EQ(facts.tracks[0].clipCount, 3);
    EXPECT_EQ(facts.tracks[1].clipCount, 1);
}

TEST(ALSXMLSummaryParser, ClipLengthIsEndMinusStartAndNeverNegative) {
    FixtureSet set;
    FixtureTrack t = track("MidiTrack", "Keys");
    t.clips = {{16, 48, Place::arrangement}, {100, 90, Place::arrangement}};
    set.tracks = {t};
    ALSDocumentFacts facts = parsed(set);
    EXPECT_EQ(facts.longestClipBeats, 32);
    EXPECT_EQ(facts.arrangementLengthBeats, 100) << "an end before the start leaves the clip at its start";
}

TEST(ALSXMLSummaryParser, AutomationNeedsAnEventAtTimeZeroOrLater) {
    FixtureSet set;
    FixtureTrack none = track("AudioTrack", "Default only");
    FixtureTrack zero = track("AudioTrack", "At zero");
    zero.automation = {0};
    FixtureTrack negative = track("AudioTrack", "Negative");
    negative.automation = {-1e9};
    set.tracks = {none, zero, negative};
    ALSDocumentFacts facts = parsed(set);
    ASSERT_EQ(facts.tracks.size(), 3u);
    EXPECT_FALSE(facts.tracks[0].automated);
    EXPECT_TRUE(facts.tracks[1].automated);
    EXPECT_FALSE(facts.tracks[2].automated);
}

TEST(ALSXMLSummaryParser, ReadsHeaderTempoAndLocators) {
    struct Case {
        const char* label;
        std::string master;
        std::optional<std::string> tempo;
        std::vector<std::string> scenes;
        std::optional<double> expected;
    };
    const Case cases[] = {
        {"Live 11 master", "MasterTrack", "122.000298", {}, 122.000298},
        {"Live 12 main track before scene tempos", "MainTrack", "171.99968", {"90", "100"}, 171.99968},
        {"no Manual: scene tempos are not the song's", "MainTrack", std::nullopt, {"90"}, std::nullopt},
        {"unreadable value", "MasterTrack", " 120", {}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        FixtureSet set = testing::simpleSet();
        set.masterElement = c.master;
        set.tempo = c.tempo;
        set.sceneTempos = c.scenes;
        set.locators = 5;
        ALSDocumentFacts facts = parsed(set);
        EXPECT_EQ(facts.tempo, c.expected);
        EXPECT_EQ(facts.locatorCount, 5);
        EXPECT_EQ(facts.creator, "Ableton Live 12.1.5");
        EXPECT_EQ(facts.schemaVersion, "5.12.0_12120");
    }

    FixtureSet onlyMinor = testing::simpleSet();
    onlyMinor.majorVersion.reset();
    EXPECT_EQ(parsed(onlyMinor).schemaVersion, "12.0_12120");
}

TEST(ALSXMLSummaryParser, ReadsNumbersAsWholeDecimalValues) {
    struct Case {
        std::string_view text;
        std::optional<double> expected;
    };
    const Case cases[] = {
        {"120", 120.0},   {"-2.5", -2.5},          {"+3", 3.0},           {".5", 0.5},
        {"5.", 5.0},      {"1e3", 1000.0},         {"1E-2", 0.01},        {"", std::nullopt},
        {" 1", std::nullopt}, {"1 ", std::nullopt}, {"1x", std::nullopt},  {"inf", std::nullopt},
        {"nan", std::nullopt}, {"0x10", std::nullopt}, {"1e", std::nullopt}, {"1e999", std::nullopt},
        {"-", std::nullopt},  {"1,5", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text));
        EXPECT_EQ(readDecimal(c.text), c.expected);
    }
}

TEST(ALSXMLSummaryParser, PiecesOfAnySizeGiveTheSameFacts) {
    FixtureSet set = testing::simpleSet();
    set.tracks[0].clips.push_back({0, 64, Place::session});
    set.locators = 2;
    const std::string xml = testing::liveSetXml(set);
    ALSDocumentFacts whole = parsed(set);

    ALSXMLSummaryParser bytewise;
    for (char c : xml) ASSERT_TRUE(bytewise.feed(std::string_view(&c, 1)));
    ASSERT_TRUE(bytewise.finish());
    EXPECT_EQ(bytewise.facts(), whole);

    ALSXMLSummaryParser buffered;
    for (std::size_t at = 0; at < xml.size(); at += 1000) {
        std::size_t length = std::min<std::size_t>(1000, xml.size() - at);
        char* buffer = buffered.buffer(length);
        ASSERT_NE(buffer, nullptr);
        std::copy_n(xml.data() + at, length, buffer);
        ASSERT_TRUE(buffered.feedBuffer(length));
    }
    ASSERT_TRUE(buffered.finish());
    EXPECT_EQ(buffered.facts(), whole);
}

TEST(ALSXMLSummaryParser, RejectsMalformedAndHostileDocuments) {
    const std::string nested = [] {
        std::string out = "<Ableton>";
        for (int i = 0; i < 2'000'000; ++i) out += "<a>";
        return out;
    }();
    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE Ableton [<!ENTITY a \"aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa\">";
    laughs += "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">";
    laughs += "<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">";
    laughs += "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">";
    laughs += "<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">";
    laughs += "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\">]>";
    laughs += "<Ableton Creator=\"&f;\"/>";
    const std::string hugeAttribute =
        "<Ableton Creator=\"" + std::string(ALSXMLSummaryParser::maximumParserMemory, 'x') + "\"/>";

    struct Case {
        const char* label;
        std::string xml;
    };
    const Case cases[] = {
        {"empty", ""},
        {"truncated", testing::liveSetXml(testing::simpleSet()).substr(0, 500)},
        {"not XML", "Ableton Live Set"},
        {"invalid UTF-8 in a name", "<Ableton><Tracks><MidiTrack><Name><UserName Value=\"\xff\xfe\"/></Name></MidiTrack></Tracks></Ableton>"},
        {"deeply nested", nested},
        {"entity expansion", laughs},
        {"attribute larger than the parser's memory", hugeAttribute},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.label);
        auto started = std::chrono::steady_clock::now();
        EXPECT_FALSE(ALSXMLSummaryParser::parseDocument(c.xml).has_value());
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(20)) << "stopped, not left to run";
    }
}

TEST(ALSXMLSummaryParser, NeverResolvesExternalEntities) {
    // An external entity in content is skipped; its file is never read into
    // the summary.
    const std::string xml =
        "<?xml version=\"1.0\"?><!DOCTYPE Ableton [<!ENTITY secret SYSTEM \"file:///etc/hostname\">]>"
        "<Ableton Creator=\"Ableton Live 12.0\"><LiveSet><Tracks><MidiTrack><Name><UserName Value=\"Lead\"/></Name>"
        "&secret;</MidiTrack></Tracks></LiveSet></Ableton>";
    auto facts = ALSXMLSummaryParser::parseDocument(xml);
    ASSERT_TRUE(facts.has_value());
    ASSERT_EQ(facts->tracks.size(), 1u);
    EXPECT_EQ(facts->tracks[0].name, "Lead");
    EXPECT_EQ(facts->tracks[0].deviceCount, 0);
}

}  // namespace
}  // namespace vantorel
