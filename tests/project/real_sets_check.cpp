// Every Live Set of the shared real-set folder (Live 8.2 to 12.2, saved by
// musicians and tool authors), parsed by the scanner and checked against what
// the folder's README records for it: creator, schema, track kinds. Prints one
// line per set. Skipped when the folder is absent; the sets are read in place
// and never copied.
//
//   VANTOREL_REAL_SETS=/path/to/als-real ./project_real_sets
#include "project/als_project_scanner.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

namespace vantorel {
namespace {

namespace fs = std::filesystem;

fs::path realSets() {
    if (const char* folder = std::getenv("VANTOREL_REAL_SETS")) return folder;
    return fs::path(VANTOREL_SOURCE_DIR) / ".." / "shared" / "data" / "als-real";
}

struct Expected {
    std::string creator;
    std::string minorVersion;
    int audio = 0, midi = 0, group = 0;
};

std::string trimmed(std::string text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '`')) text.erase(text.begin());
    while (!text.empty() && (text.back() == ' ' || text.back() == '`')) text.pop_back();
    return text;
}

// The README's table: file | repo | path | commit | licence | Creator |
// MinorVersion | size | inflated | A/M/G/R | note.
std::map<std::string, Expected> readme(const fs::path& folder) {
    std::map<std::string, Expected> out;
    std::ifstream in(folder / "README.md");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("| ", 0) != 0 || line.find(".als") == std::string::npos) continue;
        std::vector<std::string> cells;
        std::stringstream row(line.substr(1));
        std::string cell;
        while (std::getline(row, cell, '|')) cells.push_back(trimmed(cell));
        if (cells.size() < 10 || cells[0].rfind("edge/", 0) == 0) continue;
        Expected e;
        e.creator = cells[5];
        e.minorVersion = cells[6];
        std::sscanf(cells[9].c_str(), "%d/%d/%d", &e.audio, &e.midi, &e.group);
        out[cells[0]] = e;
    }
    return out;
}

class RealSets : public ::testing::Test {
protected:
    void SetUp() override {
        if (!fs::exists(realSets() / "README.md")) GTEST_SKIP() << "no real sets at " << realSets();
    }
};

TEST_F(RealSets, EverySetParsesWithoutWarningAndMatchesItsReadme) {
    const auto expected = readme(realSets());
    ASSERT_GE(expected.size(), 27u);
    ALSProjectScanner scanner;
    std::printf("%-40s %6s %6s %9s %9s %6s %5s %8s\n", "set", "tracks", "clips", "tempo", "arr.bars", "locs", "stage",
                "ms");
    for (const auto& [file, e] : expected) {
        SCOPED_TRACE(file);
        auto started = std::chrono::steady_clock::now();
        ALSProjectSummary s;
        try {
            s = scanner.parse(realSets() / file);
        } catch (const Error& error) {
            ADD_FAILURE() << error.description();
            continue;
        }
        auto ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
        std::printf("%-40s %6zu %6d %9s %9.1f %6d %5d %8.0f\n", file.c_str(), s.tracks.size(), s.clipCount,
                    s.tempo ? std::to_string(*s.tempo).c_str() : "-", s.arrangementLengthBeats / 4, s.locatorCount,
                    s.stage, ms);
        EXPECT_TRUE(s.warnings.empty()) << s.warnings.front();
        EXPECT_EQ(s.creator, e.creator);
        EXPECT_TRUE(s.schemaVersion.ends_with("." + e.minorVersion)) << s.schemaVersion;
        EXPECT_EQ(s.tracks.size(), static_cast<std::size_t>(e.audio + e.midi + e.group));
        // Live 8 keeps its tempo without a Manual value; every later set has one.
        if (!file.starts_with("01-live8")) {
            EXPECT_TRUE(s.tempo.has_value());
        }
        if (s.tempo) {
            EXPECT_TRUE(*s.tempo >= 20 && *s.tempo <= 999) << *s.tempo;
        }
        for (const auto& track : s.tracks) {
            EXPECT_LE(track.clipCount, s.clipCount);
            EXPECT_GE(track.deviceCount, 0);
        }
        EXPECT_LE(s.arrangementLengthBeats, 1e6);
    }
}

TEST_F(RealSets, OddFilesAreReportedAndTheFolderScans) {
    ALSProjectScanner scanner;
    for (const char* odd : {"empty.als", "junk.als", "raw-xml-live11.3-als2.als"}) {
        SCOPED_TRACE(odd);
        try {
            scanner.parse(realSets() / "edge" / odd);
            ADD_FAILURE() << "parsed";
        } catch (const ALSProjectScannerError& error) {
            EXPECT_EQ(error.kind(), ALSProjectScannerErrorCase::unreadableArchive);
        }
    }
    ALSProjectIndex index = scanner.scan(realSets());
    EXPECT_EQ(index.projects.size(), readme(realSets()).size());
    EXPECT_EQ(index.warnings.size(), 3u);
    for (const auto& w : index.warnings) std::printf("warning: %s\n", w.c_str());
}

}  // namespace
}  // namespace vantorel
