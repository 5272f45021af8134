#include "project/als_project.h"

#include "common/text.h"
#include "project/json_fields.h"

#include <algorithm>
#include <filesystem>

namespace vantorel {

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::system_clock;

// Thresholds of the file-only grade, in beats (32 and 256 beats are 8 and 64
// bars of 4/4).
constexpr std::size_t kGrooveActiveTracks = 4;
constexpr double kGrooveLoopBeats = 32;
constexpr double kArrangementBeats = 256;
constexpr int kArrangementLocators = 4;

constexpr double kRecencyDays = 30;
constexpr double kSecondsPerDay = 86400;
constexpr std::size_t kFreeTracks = 12;
constexpr double kPenaltyPerTrack = 1.5;

constexpr std::string_view kUnknownCreator = "Ableton non identifié";
constexpr std::string_view kUnrecognisedCreatorWarning = "Créateur ou schéma Ableton non reconnu ; extraction partielle";
constexpr std::string_view kNoTrackWarning = "Aucune piste reconnue dans ce schéma";

bool containsAny(std::string_view haystack, std::initializer_list<std::string_view> needles) {
    return std::any_of(needles.begin(), needles.end(), [&](std::string_view n) { return text::contains(haystack, n); });
}

template <typename T>
T decoded(const Json& value, T (*decode)(const Json&)) {
    try {
        return decode(value);
    } catch (const project::DecodeFailure&) {
        throw ALSProjectScannerError::invalidXML();
    }
}

ALSIndexedTrack trackFromJson(const Json& value) {
    using namespace project;
    return {requireText(value, "name"), static_cast<int>(requireInteger(value, "clipCount")),
            static_cast<int>(requireInteger(value, "deviceCount")), requireFlag(value, "automated")};
}

ALSProjectSummary summaryFromJson(const Json& value) {
    using namespace project;
    ALSProjectSummary s;
    s.path = requireText(value, "path");
    s.name = requireText(value, "name");
    s.creator = requireText(value, "creator");
    s.schemaVersion = requireText(value, "schemaVersion");
    s.modifiedAt = requireDate(value, "modifiedAt");
    s.fileSize = requireInteger(value, "fileSize");
    s.tempo = optionalNumber(value, "tempo");
    for (const Json& track : requireArray(value, "tracks")) s.tracks.push_back(trackFromJson(track));
    s.clipCount = static_cast<int>(requireInteger(value, "clipCount"));
    s.longestClipBeats = requireNumber(value, "longestClipBeats");
    s.arrangementLengthBeats = requireNumber(value, "arrangementLengthBeats");
    s.locatorCount = static_cast<int>(requireInteger(value, "locatorCount"));
    s.stage = static_cast<int>(requireInteger(value, "stage"));
    s.stageName = requireText(value, "stageName");
    s.missing = requireText(value, "missing");
    s.timeRemaining = requireText(value, "timeRemaining");
    s.score = requireNumber(value, "score");
    s.warnings = requireTexts(value, "warnings");
    return s;
}

ALSProjectIndex indexFromJson(const Json& value) {
    using namespace project;
    ALSProjectIndex index;
    index.folderPath = requireText(value, "folderPath");
    index.scannedAt = requireDate(value, "scannedAt");
    for (const Json& summary : requireArray(value, "projects")) index.projects.push_back(summaryFromJson(summary));
    index.warnings = requireTexts(value, "warnings");
    return index;
}

}  // namespace

Json ALSIndexedTrack::toJson() const {
    return {{"name", name}, {"clipCount", clipCount}, {"deviceCount", deviceCount}, {"automated", automated}};
}

Json ALSProjectSummary::dictionary() const {
    Json trackList = Json::array();
    for (const auto& track : tracks) trackList.push_back(track.toJson());
    Json out = {{"path", path},
                {"name", name},
                {"creator", creator},
                {"schemaVersion", schemaVersion},
                {"modifiedAt", project::formatDate(modifiedAt)},
                {"fileSize", fileSize},
                {"tracks", std::move(trackList)},
                {"clipCount", clipCount},
                {"longestClipBeats", longestClipBeats},
                {"arrangementLengthBeats", arrangementLengthBeats},
                {"locatorCount", locatorCount},
                {"stage", stage},
                {"stageName", stageName},
                {"missing", missing},
                {"timeRemaining", timeRemaining},
                {"score", score},
                {"warnings", warnings}};
    if (tempo) out["tempo"] = *tempo;
    return out;
}

ALSProjectSummary ALSProjectSummary::fromJson(const Json& value) { return decoded(value, summaryFromJson); }

Json ALSProjectIndex::dictionary() const {
    Json list = Json::array();
    for (const auto& summary : projects) list.push_back(summary.dictionary());
    return {{"folderPath", folderPath},
            {"scannedAt", project::formatDate(scannedAt)},
            {"projects", std::move(list)},
            {"warnings", warnings}};
}

ALSProjectIndex ALSProjectIndex::fromJson(const Json& value) { return decoded(value, indexFromJson); }

ALSProjectGrade gradeProject(const ALSDocumentFacts& facts) {
    std::vector<const ALSIndexedTrack*> active;
    std::vector<std::string> names;
    for (const auto& track : facts.tracks) {
        if (track.clipCount > 0) {
            active.push_back(&track);
            names.push_back(text::lower(track.name));
        }
    }
    auto anyName = [&](auto predicate) { return std::any_of(names.begin(), names.end(), predicate); };
    const bool kick = anyName([](const std::string& n) { return text::contains(n, "kick") || n == "bd"; });
    const bool bass = anyName([](const std::string& n) { return containsAny(n, {"bass", "sub", "basse"}); });
    const bool percussion =
        anyName([](const std::string& n) { return containsAny(n, {"drum", "perc", "hat", "clap", "snare", "shaker"}); });
    bool transition = false;
    for (std::size_t i = 0; i < active.size(); ++i) {
        if (active[i]->automated || containsAny(names[i], {"fx", "riser", "impact", "sweep", "transition"})) {
            transition = true;
        }
    }
    const bool processed =
        std::all_of(active.begin(), active.end(), [](const ALSIndexedTrack* t) { return t->deviceCount >= 1; });

    if (facts.clipCount < 1) return {1, "Idée", "Ajouter un premier clip avec du contenu", "Plusieurs sessions"};
    if (!(active.size() >= kGrooveActiveTracks && facts.longestClipBeats >= kGrooveLoopBeats && kick && bass &&
          percussion)) {
        return {2, "Groove", "Compléter la boucle de 8 mesures, le kick, la basse et les percussions",
                "Quelques sessions"};
    }
    if (!(facts.arrangementLengthBeats >= kArrangementBeats && facts.locatorCount >= kArrangementLocators)) {
        return {3, "Arrangement", "Atteindre 64 mesures et identifier au moins 4 sections", "Environ 4 h"};
    }
    if (!transition) return {4, "Transitions", "Ajouter des transitions ou automations aux frontières", "Environ 2 h"};
    if (!processed) {
        return {5, "Mix", "Traiter chaque piste active et mesurer les niveaux dans Live", "Environ 1–2 h"};
    }
    return {6, "Pre-master", "Ouvrir dans Live pour mesurer headroom et crête vraie", "Moins de 2 h"};
}

double projectScore(int stage, Clock::time_point modifiedAt, std::size_t trackCount, Clock::time_point now) {
    const double days = std::chrono::duration<double>(now - modifiedAt).count() / kSecondsPerDay;
    double recency = 0;
    if (days < 0) {
        recency = kRecencyDays;
    } else if (days < kRecencyDays) {
        recency = kRecencyDays - days;
    }
    const double extraTracks = static_cast<double>(std::max(trackCount, kFreeTracks) - kFreeTracks);
    return recency + 100.0 * stage - kPenaltyPerTrack * extraTracks;
}

ALSProjectSummary summarize(const std::string& path, ALSDocumentFacts facts, Clock::time_point modifiedAt,
                            std::int64_t fileSize, Clock::time_point now) {
    ALSProjectGrade grade = gradeProject(facts);
    ALSProjectSummary s;
    s.path = path;
    s.name = std::filesystem::path(path).stem().string();
    s.creator = facts.creator.empty() ? std::string(kUnknownCreator) : facts.creator;
    s.schemaVersion = std::move(facts.schemaVersion);
    s.modifiedAt = project::wholeSeconds(modifiedAt);
    s.fileSize = fileSize;
    s.tempo = facts.tempo;
    s.clipCount = facts.clipCount;
    s.longestClipBeats = facts.longestClipBeats;
    s.arrangementLengthBeats = facts.arrangementLengthBeats;
    s.locatorCount = facts.locatorCount;
    s.stage = grade.stage;
    s.stageName = std::move(grade.stageName);
    s.missing = std::move(grade.missing);
    s.timeRemaining = std::move(grade.timeRemaining);
    s.score = projectScore(s.stage, s.modifiedAt, facts.tracks.size(), now);
    if (facts.creator.empty() || !text::contains(text::lower(facts.creator), "ableton live")) {
        s.warnings.emplace_back(kUnrecognisedCreatorWarning);
    }
    if (facts.tracks.empty()) s.warnings.emplace_back(kNoTrackWarning);
    s.tracks = std::move(facts.tracks);
    return s;
}

}  // namespace vantorel
