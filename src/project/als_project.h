// The records of the local project index: one Live Set's summary, its tracks,
// and the index a folder scan produces. Their JSON forms are what
// "project-index.json" holds and what the page receives (dictionary()).
//
// Grading on a six-stage scale is computed from the file alone (see
// gradeProject); it shares the stage titles of the live milestone engine but
// not its rules.
#pragma once

#include "common/error.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel {

enum class ALSProjectScannerErrorCase { unreadableArchive, invalidXML };

class ALSProjectScannerError : public EnumError<ALSProjectScannerError, ALSProjectScannerErrorCase> {
public:
    static constexpr std::string_view typeName = "ALSProjectScannerError";
    static std::string_view caseName(ALSProjectScannerErrorCase kind) {
        return kind == ALSProjectScannerErrorCase::unreadableArchive ? "unreadableArchive" : "invalidXML";
    }
    static std::string_view describe(ALSProjectScannerErrorCase kind) {
        return kind == ALSProjectScannerErrorCase::invalidXML ? "Le schéma Ableton n’a pas pu être reconnu." : "";
    }
    using EnumError::EnumError;

    static ALSProjectScannerError unreadableArchive(std::string_view fileName) {
        return {ALSProjectScannerErrorCase::unreadableArchive,
                "Impossible de décompresser " + std::string(fileName) +
                    ". Le projet reste signalé dans les avertissements."};
    }
    static ALSProjectScannerError invalidXML() { return ALSProjectScannerError(ALSProjectScannerErrorCase::invalidXML); }
};

struct ALSIndexedTrack {
    std::string name;  // user name, else effective name, else "Piste " + position
    int clipCount = 0;
    int deviceCount = 0;    // devices of the track's own chain (a rack is one)
    bool automated = false;  // holds an automation event at a time ≥ 0

    nlohmann::json toJson() const;
    bool operator==(const ALSIndexedTrack&) const = default;
};

struct ALSProjectSummary {
    std::string path;  // absolute file path
    std::string name;  // file name without extension
    std::string creator;
    std::string schemaVersion;
    // The file's modification date, to the whole second (the precision it is
    // stored at, so that a reloaded index compares like a fresh one).
    std::chrono::system_clock::time_point modifiedAt;
    std::int64_t fileSize = 0;
    std::optional<double> tempo;
    std::vector<ALSIndexedTrack> tracks;  // audio, MIDI and group tracks, in document order
    int clipCount = 0;
    double longestClipBeats = 0;
    double arrangementLengthBeats = 0;
    int locatorCount = 0;
    int stage = 1;
    std::string stageName;
    std::string missing;
    std::string timeRemaining;
    double score = 0;
    std::vector<std::string> warnings;

    // The record as the page and the index file hold it; `tempo` is left out
    // when absent, dates are ISO 8601.
    nlohmann::json dictionary() const;
    // Throws ALSProjectScannerError::invalidXML when a required key is
    // missing or mistyped (only `tempo` may be absent).
    static ALSProjectSummary fromJson(const nlohmann::json& value);

    bool operator==(const ALSProjectSummary&) const = default;
};

struct ALSProjectIndex {
    std::string folderPath;
    std::chrono::system_clock::time_point scannedAt;
    std::vector<ALSProjectSummary> projects;  // closest to finished first, then most recent
    std::vector<std::string> warnings;        // one line per file that could not be read

    nlohmann::json dictionary() const;
    // Throws ALSProjectScannerError::invalidXML on a missing or mistyped key.
    static ALSProjectIndex fromJson(const nlohmann::json& value);

    bool operator==(const ALSProjectIndex&) const = default;
};

// What the XML of one Live Set says, before grading.
struct ALSDocumentFacts {
    std::string creator;  // empty when the root has none
    std::string schemaVersion;
    std::optional<double> tempo;
    std::vector<ALSIndexedTrack> tracks;
    int clipCount = 0;
    double longestClipBeats = 0;
    double arrangementLengthBeats = 0;
    int locatorCount = 0;

    bool operator==(const ALSDocumentFacts&) const = default;
};

// The file-only grade of a set: stage, its title, the single next step and a
// rough estimate of the work left.
struct ALSProjectGrade {
    int stage = 1;
    std::string stageName;
    std::string missing;
    std::string timeRemaining;
};

ALSProjectGrade gradeProject(const ALSDocumentFacts& facts);

// recency (30 down to 0 over 30 days) + 100 × stage − 1.5 per track above 12.
double projectScore(int stage, std::chrono::system_clock::time_point modifiedAt, std::size_t trackCount,
                    std::chrono::system_clock::time_point now);

// Builds the summary of a parsed file: grade, score, warnings, and the
// "Ableton non identifié" creator when the document names none.
ALSProjectSummary summarize(const std::string& path, ALSDocumentFacts facts,
                            std::chrono::system_clock::time_point modifiedAt, std::int64_t fileSize,
                            std::chrono::system_clock::time_point now);

}  // namespace vantorel
