#include "planning/plan_validator.h"

#include <gtest/gtest.h>

#include <functional>
#include <limits>

namespace vantorel {
namespace {

using C = SafeActionCommand;
using Case = SafePlanValidationErrorCase;

SafePlanAction step(C command, const char* mode = "write", bool reversible = true) {
    SafePlanAction a;
    a.id = "S";
    a.command = command;
    a.title = "Titre";
    a.detail = "Détail.";
    a.mode = mode;
    a.reversible = reversible;
    return a;
}

SafeActionPlan planOf(std::vector<SafePlanAction> actions, std::int64_t revision = 42) {
    return SafeActionPlan{"P", "Titre", "Intention.", revision, "test", std::move(actions)};
}

std::optional<Case> failure(const SafeActionPlan& plan, std::int64_t revision = 42) {
    try {
        SafePlanValidator::validate(plan, revision);
        return std::nullopt;
    } catch (const SafePlanValidationError& error) {
        return error.kind();
    }
}

SafeArrangementSection section(std::int64_t bars, std::size_t phases) {
    return {"Drop", bars, std::vector<std::vector<std::string>>(phases, {"kick", "kick", "bass"})};
}

TEST(Validator, RevisionFirstThenPlanShape) {
    SafeActionPlan empty = planOf({}, 41);
    EXPECT_EQ(failure(empty), Case::staleRevision);  // before any other check
    EXPECT_EQ(failure(planOf({})), Case::invalidPlan);
    EXPECT_EQ(failure(planOf(std::vector<SafePlanAction>(9, step(C::organize)))), Case::invalidPlan);
    EXPECT_EQ(failure(planOf(std::vector<SafePlanAction>(8, step(C::organize)))), std::nullopt);
    SafeActionPlan untitled = planOf({step(C::organize)});
    untitled.title.clear();
    EXPECT_EQ(failure(untitled), Case::invalidPlan);
    SafePlanAction noDetail = step(C::organize);
    noDetail.detail.clear();
    EXPECT_EQ(failure(planOf({step(C::organize), noDetail})), Case::invalidAction);
}

// One row per rule boundary: the step built by `make` must pass or fail.
TEST(Validator, CommandRules) {
    struct Row {
        const char* label;
        std::function<SafePlanAction()> make;
        bool valid;
    };
    auto tempo = [](double bpm, bool reversible = false) {
        SafePlanAction a = step(C::tempo, "write", reversible);
        a.tempo = bpm;
        return a;
    };
    auto clip = [](double length, std::vector<SafeMidiNote> notes) {
        SafePlanAction a = step(C::createMidiClip);
        a.trackIndex = 0;
        a.startTime = 0;
        a.length = length;
        a.notes = std::move(notes);
        return a;
    };
    auto replace = [](std::optional<double> length, std::optional<std::vector<SafeMidiNote>> notes,
                      std::optional<std::string> style) {
        SafePlanAction a = step(C::replaceMidiClip);
        a.trackIndex = 1;
        a.length = length;
        a.notes = std::move(notes);
        a.state = std::move(style);
        return a;
    };
    auto arrangement = [](std::vector<SafeArrangementSection> sections) {
        SafePlanAction a = step(C::buildArrangement);
        a.arrangementSections = std::move(sections);
        return a;
    };
    auto volume = [](double db) {
        SafePlanAction a = step(C::trackVolume);
        a.trackIndex = 0;
        a.displayDb = db;
        return a;
    };
    auto sample = [](std::optional<double> start, std::optional<double> relative) {
        SafePlanAction a = step(C::importSample);
        a.sampleQuery = "kick";
        a.sampleRole = "kick";
        a.startTime = start;
        a.arrangementRelativeStart = relative;
        return a;
    };
    auto listen = [](double bars, bool reversible = false) {
        SafePlanAction a = step(C::listenMaster, "write", reversible);
        a.startTime = 0;
        a.length = bars;
        return a;
    };
    auto named = [](C command, std::string name) {
        SafePlanAction a = step(command);
        a.trackIndex = 0;
        a.name = std::move(name);
        return a;
    };
    const SafeMidiNote note(60, 0, 1, 100);
    const Row rows[] = {
        {"analyze reads", [] { return step(C::analyze, "read", false); }, true},
        {"analyze written", [] { return step(C::analyze, "write", false); }, false},
        {"analyze with a tempo", [] { auto a = step(C::analyze, "read", false); a.tempo = 120; return a; }, false},
        {"mode is exact", [] { return step(C::organize, "Write"); }, false},
        {"tempo 40", [&] { return tempo(40); }, true},
        {"tempo 240", [&] { return tempo(240); }, true},
        {"tempo 39.9", [&] { return tempo(39.9); }, false},
        {"tempo 240.5", [&] { return tempo(240.5); }, false},
        {"tempo not a number", [&] { return tempo(std::numeric_limits<double>::quiet_NaN()); }, false},
        {"reversible tempo", [&] { return tempo(120, true); }, false},
        {"clip of 4096 beats", [&] { return clip(4096, {}); }, true},
        {"clip just above 4096", [&] { return clip(4096.01, {}); }, false},
        {"clip of no length", [&] { return clip(0, {}); }, false},
        {"note at the clip end", [&] { return clip(4, {SafeMidiNote(60, 4, 1, 100)}); }, false},
        {"note past the end but starting inside", [&] { return clip(4, {SafeMidiNote(60, 3.5, 4, 100)}); }, true},
        {"note of velocity 0", [&] { return clip(4, {SafeMidiNote(60, 0, 1, 0)}); }, false},
        {"note of pitch 128", [&] { return clip(4, {SafeMidiNote(128, 0, 1, 100)}); }, false},
        {"note of no duration", [&] { return clip(4, {SafeMidiNote(60, 0, 0, 100)}); }, false},
        {"note probability above 1", [&] { return clip(4, {SafeMidiNote(60, 0, 1, 100, 1.01)}); }, false},
        {"513 notes", [&] { return clip(4, std::vector<SafeMidiNote>(513, note)); }, false},
        {"512 notes", [&] { return clip(4, std::vector<SafeMidiNote>(512, note)); }, true},
        {"clip without index", [&] { auto a = clip(4, {}); a.trackIndex.reset(); return a; }, false},
        {"clip at a negative index", [&] { auto a = clip(4, {}); a.trackIndex = -1; return a; }, false},
        {"replace with empty notes", [&] { return replace(4, std::vector<SafeMidiNote>{}, std::nullopt); }, false},
        {"replace with notes", [&] { return replace(4, std::vector<SafeMidiNote>{note}, std::nullopt); }, true},
        {"replace by style", [&] { return replace(std::nullopt, std::nullopt, "humanize"); }, true},
        {"replace by unknown style", [&] { return replace(std::nullopt, std::nullopt, "funky"); }, false},
        {"replace with a length only", [&] { return replace(4, std::nullopt, "groove"); }, false},
        {"section of 12 bars", [&] { return arrangement({section(12, 1)}); }, false},
        {"16 bars in three phases", [&] { return arrangement({section(16, 3)}); }, false},
        {"12 sections of 24 bars", [&] { return arrangement(std::vector<SafeArrangementSection>(12, section(24, 3))); },
         false},
        {"8 sections of 32 bars", [&] { return arrangement(std::vector<SafeArrangementSection>(8, section(32, 4))); },
         true},
        {"13 sections", [&] { return arrangement(std::vector<SafeArrangementSection>(13, section(8, 1))); }, false},
        {"no sections at all", [&] { return arrangement({}); }, false},
        {"unknown role", [&] { auto s = section(8, 1); s.phaseRoles[0].push_back("guitar"); return arrangement({s}); },
         false},
        {"empty phase", [&] { auto s = section(8, 1); s.phaseRoles[0].clear(); return arrangement({s}); }, false},
        {"section name of 49 characters",
         [&] { auto s = section(8, 1); s.name = std::string(49, 'x'); return arrangement({s}); }, false},
        {"arrangement on a track", [&] { auto a = arrangement({section(8, 1)}); a.trackIndex = 0; return a; }, false},
        {"negative scene", [&] { auto a = arrangement({section(8, 1)}); a.sourceSceneIndex = -1; return a; }, false},
        {"volume -70", [&] { return volume(-70); }, true},
        {"volume 6", [&] { return volume(6); }, true},
        {"volume 6.5", [&] { return volume(6.5); }, false},
        {"sample with a relative start", [&] { return sample(-1, 160); }, true},
        {"sample without a start", [&] { return sample(std::nullopt, std::nullopt); }, false},
        {"sample of an unknown role", [&] { auto a = sample(0, std::nullopt); a.sampleRole = "snare"; return a; }, false},
        {"sample query of 301 characters",
         [&] { auto a = sample(0, std::nullopt); a.sampleQuery = std::string(301, 'k'); return a; }, false},
        {"listen 8 bars", [&] { return listen(8); }, true},
        {"listen 8.5 bars", [&] { return listen(8.5); }, false},
        {"listen 33 bars", [&] { return listen(33); }, false},
        {"listen marked reversible", [&] { return listen(8, true); }, false},
        // 96 user-perceived characters, many more bytes.
        {"name of 96 accented characters", [&] { std::string n; for (int i = 0; i < 96; ++i) n += "e\xCC\x81"; return named(C::renameTrack, n); }, true},
        {"name of 97 characters", [&] { return named(C::renameTrack, std::string(97, 'n')); }, false},
        {"empty track name", [&] { auto a = named(C::createMidiTrack, ""); a.trackIndex.reset(); return a; }, false},
        {"track without a name", [] { return step(C::createAudioTrack); }, true},
        {"flag without enabled", [] { auto a = step(C::trackState); a.trackIndex = 0; a.state = "arm"; return a; }, false},
        {"unknown flag", [] { auto a = step(C::trackState); a.trackIndex = 0; a.state = "record"; a.enabled = true; return a; }, false},
        {"undo", [] { return step(C::undo, "write", false); }, true},
        {"undo on a track", [] { auto a = step(C::undo, "write", false); a.trackIndex = 0; return a; }, false},
        {"reversible play", [] { return step(C::play); }, false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.label);
        EXPECT_EQ(failure(planOf({row.make()})), row.valid ? std::nullopt : std::optional(Case::invalidAction));
    }
}

}  // namespace
}  // namespace vantorel
