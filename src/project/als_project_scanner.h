// ALSProjectScanner: a folder of Live Sets → an ALSProjectIndex.
//
// scan() walks the folder, reads each Live Set (gzip inflated in-process,
// XML streamed through ALSXMLSummaryParser), grades it and returns the index
// sorted so that the projects closest to finished, then the most recently
// touched, come first. Files of a previous index that did not change are taken
// from it without being read. Files are read in parallel on the machine's
// cores; the index is the same as a one-by-one scan would give, and progress
// is reported in order.
//
// The walk: every entry below the folder, hidden entries and folders named
// "Backup" (any case) skipped, symbolic links to folders not followed, entries
// whose lower-cased extension is "als" collected, then put in natural order
// (case-insensitive, runs of digits by value: "Track 2" before "Track 10").
//
// Nothing is ever written; per-file problems become warnings. A Live Set whose
// path is not UTF-8 is skipped with a warning: the page could not name it back.
#pragma once

#include "project/als_project.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel {

struct ALSFileAttributes {
    std::optional<std::chrono::system_clock::time_point> modifiedAt;
    std::optional<std::int64_t> size;
};

struct ALSFolderEntry {
    std::string name;
    bool isDirectory = false;  // a real folder, not a link to one
};

// The file-system service of the scanner: listing folders and reading
// attributes. The default one reads the real file system; tests pass others.
class ALSFileSystem {
public:
    virtual ~ALSFileSystem() = default;
    // The entries of one folder; nothing when it cannot be read.
    virtual std::optional<std::vector<ALSFolderEntry>> list(const std::filesystem::path& folder) const;
    virtual ALSFileAttributes attributes(const std::filesystem::path& file) const;

    static std::shared_ptr<const ALSFileSystem> standard();
};

class ALSProjectScanner {
public:
    static constexpr std::string_view kNotUtf8Warning =
        "Le chemin de ce fichier contient des caractères illisibles : renomme-le (ou son dossier) pour l’indexer.";

    // (done, total): from (0, n) to (n, n), one step at a time, on the thread
    // that called scan().
    using Progress = std::function<void(int done, int total)>;

    using Clock = std::function<std::chrono::system_clock::time_point()>;

    // workers: how many files are read at once; 0 means one per core. clock:
    // the time scores are computed against (the system clock when empty).
    explicit ALSProjectScanner(std::shared_ptr<const ALSFileSystem> manager = ALSFileSystem::standard(),
                               unsigned workers = 0, Clock clock = {});

    // Never fails. Runs on the caller's thread (plus its workers) until done;
    // the app calls it off its main loop and forwards progress there.
    ALSProjectIndex scan(const std::filesystem::path& folder, const ALSProjectIndex* previous = nullptr,
                         const Progress& progress = {}) const;

    // Reads one Live Set. Throws ALSProjectScannerError: unreadableArchive
    // when the file cannot be read or inflated (or inflates past 1 GiB),
    // invalidXML when its XML is malformed.
    ALSProjectSummary parse(const std::filesystem::path& file) const;

    // The Live Sets the walk finds below folder, in natural order.
    std::vector<std::filesystem::path> liveSets(const std::filesystem::path& folder) const;

    // The `folderPath` a scan of `folder` records: absolute, normalised, no
    // trailing slash. A rescan reuses an index whose folderPath equals it.
    static std::string folderPath(const std::filesystem::path& folder);

    const ALSFileSystem& manager() const { return *manager_; }

private:
    ALSProjectSummary parseAt(const std::filesystem::path& file, std::chrono::system_clock::time_point now) const;

    std::shared_ptr<const ALSFileSystem> manager_;
    unsigned workers_;
    Clock clock_;
};

// Natural order of paths: case-insensitive, digits compared by value, ties
// broken by bytes so that the order is total.
void sortNaturally(std::vector<std::filesystem::path>& paths);

}  // namespace vantorel
