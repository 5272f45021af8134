#include "project/als_project_scanner.h"

#include "common/iso8601.h"
#include "project/als_archive.h"
#include "project/live_set_fixture.h"
#include "support/temp_home.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

namespace vantorel {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::system_clock;
using testing::FixtureClip;
using testing::FixtureSet;
using testing::FixtureTrack;
using testing::writeLiveSet;
using testing::writeText;

const Clock::time_point kNow = *iso8601::parse("2026-12-01T12:00:00Z");

ALSProjectScanner::Clock fixedClock() {
    return [] { return kNow; };
}

void setModified(const fs::path& path, Clock::time_point when) {
    auto since = when.time_since_epoch();
    auto seconds = std::chrono::floor<std::chrono::seconds>(since);
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = seconds.count();
    times[0].tv_nsec = times[1].tv_nsec =
        static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(since - seconds).count());
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

// Replaces a file with junk of the same size and date: a scan that reads it
// again reports it, one that reuses the previous summary does not.
void spoilKeepingSizeAndDate(const fs::path& path) {
    struct stat before {};
    ASSERT_EQ(::stat(path.c_str(), &before), 0);
    writeText(path, std::string(static_cast<std::size_t>(before.st_size), 'x'));
    timespec times[2] = {before.st_atim, before.st_mtim};
    ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::vector<std::string> names(const std::vector<fs::path>& paths, const fs::path& root) {
    std::vector<std::string> out;
    for (const auto& p : paths) out.push_back(p.lexically_relative(root).string());
    return out;
}

FixtureSet grooveSet(std::string_view name, int tracks) {
    FixtureSet set;
    const char* roles[] = {"Kick", "Sub Bass", "Hats", "Chords", "Lead", "Vox"};
    for (int i = 0; i < tracks; ++i) {
        FixtureTrack t;
        t.userName = std::string(roles[i % 6]) + " " + std::string(name);
        t.devices = {testing::device("Eq8")};
        t.clips = {{0, 32.0 + i, FixtureClip::Place::session}, {0, 64, FixtureClip::Place::arrangement}};
        set.tracks.push_back(t);
    }
    return set;
}

TEST(ALSProjectScanner, WalkSkipsBackupsAndHiddenEntriesAndSortsNaturally) {
    testing::TempHome home;
    const fs::path root = home.root() / "Projets";
    for (const char* file : {"Track 10.als", "track 2.als", "Track 1.ALS", "Backup/Track 1 [2026-01-01].als",
                             "Song Project/backup/old.als", "Song Project/BACKUP/older.als", ".hidden.als",
                             ".cache/inside hidden folder.als", "Song Project/Song.als", "notes.txt", "Track 3.alsx"}) {
        writeText(root / file, "x");
    }
    ALSProjectScanner scanner;
    EXPECT_EQ(names(scanner.liveSets(root), root),
              (std::vector<std::string>{"Song Project/Song.als", "Track 1.ALS", "track 2.als", "Track 10.als"}));
}

TEST(ALSProjectScanner, AFolderWithoutLiveSetsGivesAnEmptyIndex) {
    testing::TempHome home;
    writeText(home.root() / "empty/readme.txt", "nothing here");
    for (const fs::path& folder : {home.root() / "empty", home.root() / "does not exist"}) {
        SCOPED_TRACE(folder.string());
        std::vector<std::pair<int, int>> calls;
        ALSProjectIndex index =
            ALSProjectScanner({}, 0, fixedClock()).scan(folder, nullptr, [&](int d, int t) { calls.push_back({d, t}); });
        EXPECT_TRUE(index.projects.empty());
        EXPECT_TRUE(index.warnings.empty());
        EXPECT_EQ(calls, (std::vector<std::pair<int, int>>{{0, 0}}));
        EXPECT_EQ(index.folderPath, folder.string());
        EXPECT_EQ(index.scannedAt, kNow);
    }
}

TEST(ALSProjectScanner, BadFilesBecomeWarningsAndTheRestIsIndexed) {
    testing::TempHome home;
    const fs::path root = home.root() / "sets";
    writeLiveSet(root / "a.als", grooveSet("a", 2));
    writeText(root / "broken.als", "junk\n");
    writeText(root / "plain.als", testing::liveSetXml(grooveSet("p", 1)));
    writeText(root / "bad-xml.als", testing::gzipped("<Ableton><LiveSet></Ableton>"));
    writeLiveSet(root / "z.als", grooveSet("z", 1));
    writeLiveSet(root / "Latin\xE9 mix.als", grooveSet("l", 1));    // ISO 8859-1 "é"
    writeLiveSet(root / "old \xFF" / "inside.als", grooveSet("i", 1));  // a folder name that is not UTF-8
    // Members of 64 MiB of zeros, one after the other, past 1 GiB in all.
    const std::string member = testing::gzipped(std::string(64u << 20, '\0'));
    std::string bomb;
    for (std::uint64_t total = 0; total <= GzipReader::maximumInflatedBytes; total += 64u << 20) bomb += member;
    writeText(root / "bomb.als", bomb);

    ALSProjectIndex index = ALSProjectScanner({}, 0, fixedClock()).scan(root);
    ASSERT_EQ(index.projects.size(), 2u);
    const std::string notUtf8(ALSProjectScanner::kNotUtf8Warning);
    const std::string unpacked = ". Le projet reste signalé dans les avertissements.";
    EXPECT_EQ(index.warnings, (std::vector<std::string>{
                                  "Latin\uFFFD mix.als — " + notUtf8,
                                  "old \uFFFD/inside.als — " + notUtf8,
                                  "bad-xml.als — Le schéma Ableton n’a pas pu être reconnu.",
                                  "bomb.als — Impossible de décompresser bomb.als" + unpacked,
                                  "broken.als — Impossible de décompresser broken.als" + unpacked,
                                  "plain.als — Impossible de décompresser plain.als" + unpacked,
                              }));
    // The index the page receives is valid UTF-8 throughout.
    EXPECT_NO_THROW((void)index.dictionary().dump(-1, ' ', false, nlohmann::json::error_handler_t::strict));
}

TEST(ALSProjectScanner, SortsByScoreThenMostRecent) {
    testing::TempHome home;
    const fs::path root = home.root() / "sets";
    writeLiveSet(root / "idea.als", FixtureSet{});
    writeLiveSet(root / "older groove.als", grooveSet("o", 4));
    writeLiveSet(root / "newer groove.als", grooveSet("n", 4));
    writeLiveSet(root / "fresh idea.als", FixtureSet{});
    const auto old = kNow - std::chrono::hours(24 * 60);
    setModified(root / "idea.als", old);
    setModified(root / "older groove.als", old);
    setModified(root / "newer groove.als", old + std::chrono::hours(1));
    setModified(root / "fresh idea.als", kNow - std::chrono::hours(24 * 3));

    ALSProjectIndex index = ALSProjectScanner({}, 0, fixedClock()).scan(root);
    std::vector<std::string> order;
    for (const auto& p : index.projects) order.push_back(p.name + " " + std::to_string(p.score));
    EXPECT_EQ(order, (std::vector<std::string>{"newer groove 300.000000", "older groove 300.000000",
                                               "fresh idea 127.000000", "idea 100.000000"}));
}

TEST(ALSProjectScanner, ReusesUnchangedFilesOfThePreviousIndex) {
    testing::TempHome home;
    const fs::path root = home.root() / "sets";
    writeLiveSet(root / "kept.als", grooveSet("k", 2));
    writeLiveSet(root / "touched.als", grooveSet("t", 2));
    writeLiveSet(root / "resized.als", grooveSet("r", 2));
    // A date with a fraction above half a second: the index stores it to the
    // second, and a reloaded index must still recognise the file.
    const auto base = kNow - std::chrono::hours(2);
    setModified(root / "kept.als", base + std::chrono::milliseconds(700));
    setModified(root / "touched.als", base);
    setModified(root / "resized.als", base);

    ALSProjectScanner scanner({}, 0, fixedClock());
    ALSProjectIndex first = scanner.scan(root);
    ASSERT_EQ(first.projects.size(), 3u);
    ALSProjectIndex reloaded = ALSProjectIndex::fromJson(nlohmann::json::parse(first.dictionary().dump()));

    spoilKeepingSizeAndDate(root / "kept.als");
    spoilKeepingSizeAndDate(root / "touched.als");
    setModified(root / "touched.als", base + std::chrono::seconds(1));
    spoilKeepingSizeAndDate(root / "resized.als");
    writeText(root / "resized.als", "xx");
    setModified(root / "resized.als", base);

    for (const ALSProjectIndex* previous : {&first, &reloaded}) {
        ALSProjectIndex second = scanner.scan(root, previous);
        ASSERT_EQ(second.projects.size(), 1u);
        EXPECT_EQ(second.projects[0], *std::find_if(first.projects.begin(), first.projects.end(),
                                                    [](const ALSProjectSummary& p) { return p.name == "kept"; }));
        EXPECT_EQ(second.warnings.size(), 2u) << "the touched and resized files were read again";
    }
}

TEST(ALSProjectScanner, ParallelScanEqualsOneByOneWithOrderedProgress) {
    testing::TempHome home;
    const fs::path root = home.root() / "sets";
    for (int i = 1; i <= 14; ++i) {
        writeLiveSet(root / ("Set " + std::to_string(i) + ".als"), grooveSet(std::to_string(i), 1 + i % 6));
        setModified(root / ("Set " + std::to_string(i) + ".als"), kNow - std::chrono::hours(i * 20));
    }
    writeText(root / "Set 7b.als", "junk");

    struct Run {
        ALSProjectIndex index;
        std::vector<int> done;
        bool onCallerThread = true;
    };
    auto run = [&](unsigned workers) {
        Run r;
        const auto caller = std::this_thread::get_id();
        r.index = ALSProjectScanner({}, workers, fixedClock()).scan(root, nullptr, [&](int done, int total) {
            EXPECT_EQ(total, 15);
            r.done.push_back(done);
            r.onCallerThread = r.onCallerThread && std::this_thread::get_id() == caller;
        });
        return r;
    };
    Run sequential = run(1);
    Run parallel = run(4);
    EXPECT_EQ(parallel.index, sequential.index);
    EXPECT_EQ(sequential.index.projects.size(), 14u);
    EXPECT_EQ(sequential.index.warnings.size(), 1u);
    std::vector<int> steps(16);
    for (int i = 0; i <= 15; ++i) steps[static_cast<std::size_t>(i)] = i;
    EXPECT_EQ(sequential.done, steps);
    EXPECT_EQ(parallel.done, steps);
    EXPECT_TRUE(parallel.onCallerThread);
}

// A file system that knows no dates or sizes.
struct NoAttributes : ALSFileSystem {
    ALSFileAttributes attributes(const fs::path&) const override { return {}; }
};

TEST(ALSProjectScanner, UnknownAttributesFallBackToTheDistantPastAndTheInflatedSize) {
    testing::TempHome home;
    const FixtureSet set = grooveSet("u", 1);
    writeLiveSet(home.root() / "u.als", set);
    ALSProjectScanner scanner(std::make_shared<NoAttributes>(), 0, fixedClock());
    ALSProjectSummary summary = scanner.parse(home.root() / "u.als");
    EXPECT_EQ(summary.modifiedAt, Clock::time_point{});
    EXPECT_EQ(summary.fileSize, static_cast<std::int64_t>(testing::liveSetXml(set).size()));
    EXPECT_EQ(summary.path, (home.root() / "u.als").string());

    // Without dates nothing can be trusted to be unchanged.
    ALSProjectIndex first = scanner.scan(home.root());
    spoilKeepingSizeAndDate(home.root() / "u.als");
    EXPECT_EQ(scanner.scan(home.root(), &first).warnings.size(), 1u);
}

}  // namespace
}  // namespace vantorel
