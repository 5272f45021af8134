#include "project/als_project_scanner.h"

#include "common/text.h"
#include "project/als_archive.h"
#include "project/als_summary_parser.h"
#include "project/json_fields.h"

#include <dirent.h>
#include <sys/stat.h>

#include <unicode/coll.h>
#include <unicode/locid.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

namespace vantorel {

namespace {

using SystemClock = std::chrono::system_clock;
namespace fs = std::filesystem;

// Inflated bytes handed to the XML parser at a time: large enough that expat
// and zlib run long stretches, small enough to stay in the caches.
constexpr std::size_t kPieceSize = 256 * 1024;
// A file of the previous index is reused when its size is unchanged and its
// date, at the stored whole-second precision, is within this of the stored one.
constexpr std::chrono::milliseconds kReuseTolerance{500};
// About 285 years either side of 1970, inside what a nanosecond clock holds.
constexpr long long kDateRangeSeconds = 9'000'000'000LL;

bool isBackupFolder(const std::string& name) {
    if (text::asciiEqualsIgnoringCase(name, "backup")) return true;
    // Only a name with non-ASCII letters can still fold to "backup".
    bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    return !ascii && text::lower(name) == "backup";
}

bool hasLiveSetExtension(const std::string& name) {
    std::size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return false;
    return text::asciiEqualsIgnoringCase(std::string_view(name).substr(dot + 1), "als");
}

std::string fileNameOf(const fs::path& path) { return path.filename().string(); }

// A path that is not UTF-8 reaches the page with replacement characters, so
// the page could never ask to open it again: such a set is left out of the
// index, with a warning naming it as the page will show it.
bool isUtf8(std::string_view bytes) {
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    const auto length = static_cast<int32_t>(bytes.size());
    if (static_cast<std::size_t>(length) != bytes.size()) return false;
    for (int32_t at = 0; at < length;) {
        UChar32 c;
        U8_NEXT(data, at, length, c);
        if (c < 0) return false;
    }
    return true;
}

std::string withReplacementCharacters(std::string_view bytes) {
    std::string shown;
    icu::UnicodeString::fromUTF8(icu::StringPiece(bytes.data(), static_cast<int32_t>(bytes.size()))).toUTF8String(shown);
    return shown;
}

bool reusable(const ALSProjectSummary& stored, const ALSFileAttributes& now) {
    if (!now.modifiedAt || !now.size || *now.size != stored.fileSize) return false;
    auto difference = project::wholeSeconds(*now.modifiedAt) - project::wholeSeconds(stored.modifiedAt);
    return std::chrono::abs(difference) < kReuseTolerance;
}

}  // namespace

// ---- file system ---------------------------------------------------------------

std::optional<std::vector<ALSFolderEntry>> ALSFileSystem::list(const fs::path& folder) const {
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return std::nullopt;
    std::vector<ALSFolderEntry> entries;
    while (const dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        bool isDirectory = entry->d_type == DT_DIR;
        if (entry->d_type == DT_UNKNOWN) {
            struct stat info {};
            isDirectory = ::lstat((folder / name).c_str(), &info) == 0 && S_ISDIR(info.st_mode);
        }
        entries.push_back({std::move(name), isDirectory});
    }
    ::closedir(dir);
    return entries;
}

ALSFileAttributes ALSFileSystem::attributes(const fs::path& file) const {
    struct stat info {};
    if (::stat(file.c_str(), &info) != 0) return {};
    ALSFileAttributes result{std::nullopt, static_cast<std::int64_t>(info.st_size)};
    // A date the nanosecond clock (and so the index file) cannot hold, say a
    // file stamped in the year 3000, counts as unknown.
    if (info.st_mtim.tv_sec < -kDateRangeSeconds || info.st_mtim.tv_sec > kDateRangeSeconds) return result;
    result.modifiedAt = SystemClock::time_point(std::chrono::duration_cast<SystemClock::duration>(
        std::chrono::seconds(info.st_mtim.tv_sec) + std::chrono::nanoseconds(info.st_mtim.tv_nsec)));
    return result;
}

std::shared_ptr<const ALSFileSystem> ALSFileSystem::standard() {
    static const auto instance = std::make_shared<const ALSFileSystem>();
    return instance;
}

// ---- ordering ------------------------------------------------------------------

void sortNaturally(std::vector<fs::path>& paths) {
    // The producer's language orders names; the C locale (ICU's en_US_POSIX)
    // would order by code point, capitals first, so the root order stands in.
    icu::Locale locale = icu::Locale::getDefault();
    if (std::strcmp(locale.getVariant(), "POSIX") == 0) locale = icu::Locale::getRoot();
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Collator> collator(icu::Collator::createInstance(locale, status));
    if (U_FAILURE(status) || !collator) {
        std::sort(paths.begin(), paths.end());
        return;
    }
    collator->setStrength(icu::Collator::SECONDARY);  // case-insensitive
    collator->setAttribute(UCOL_NUMERIC_COLLATION, UCOL_ON, status);
    if (U_FAILURE(status)) {
        std::sort(paths.begin(), paths.end());
        return;
    }

    // One sort key per path, then plain byte comparisons: a thousand paths
    // sort in well under a millisecond.
    struct Keyed {
        std::string key;
        fs::path path;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(paths.size());
    for (auto& path : paths) {
        icu::UnicodeString text = icu::UnicodeString::fromUTF8(path.string());
        std::string key(64, '\0');
        int32_t length = collator->getSortKey(text, reinterpret_cast<uint8_t*>(key.data()), 64);
        if (length > 64) {
            key.resize(static_cast<std::size_t>(length));
            collator->getSortKey(text, reinterpret_cast<uint8_t*>(key.data()), length);
        }
        key.resize(static_cast<std::size_t>(std::max(length, 0)));
        keyed.push_back({std::move(key), std::move(path)});
    }
    std::sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        if (a.key != b.key) return a.key < b.key;
        return a.path.native() < b.path.native();
    });
    for (std::size_t i = 0; i < paths.size(); ++i) paths[i] = std::move(keyed[i].path);
}

// ---- scanner ---------------------------------------------------------------------

ALSProjectScanner::ALSProjectScanner(std::shared_ptr<const ALSFileSystem> manager, unsigned workers, Clock clock)
    : manager_(manager ? std::move(manager) : ALSFileSystem::standard()),
      workers_(workers),
      clock_(clock ? std::move(clock) : Clock([] { return std::chrono::system_clock::now(); })) {}

std::string ALSProjectScanner::folderPath(const fs::path& folder) {
    fs::path root = fs::absolute(folder).lexically_normal();
    if (root.has_relative_path() && !root.has_filename()) root = root.parent_path();
    return root.string();
}

std::vector<fs::path> ALSProjectScanner::liveSets(const fs::path& folder) const {
    std::vector<fs::path> found;
    std::vector<fs::path> pending{folder};
    while (!pending.empty()) {
        fs::path current = std::move(pending.back());
        pending.pop_back();
        auto entries = manager_->list(current);
        if (!entries) continue;  // an unreadable folder yields nothing; the walk goes on
        for (const auto& entry : *entries) {
            if (entry.name.empty() || entry.name[0] == '.') continue;
            if (entry.isDirectory && isBackupFolder(entry.name)) continue;
            fs::path path = current / entry.name;
            if (hasLiveSetExtension(entry.name)) found.push_back(path);
            if (entry.isDirectory) pending.push_back(std::move(path));
        }
    }
    sortNaturally(found);
    return found;
}

ALSProjectSummary ALSProjectScanner::parse(const fs::path& file) const { return parseAt(file, clock_()); }

ALSProjectSummary ALSProjectScanner::parseAt(const fs::path& file, std::chrono::system_clock::time_point now) const {
    const fs::path path = fs::absolute(file).lexically_normal();
    GzipReader reader(path);
    ALSXMLSummaryParser parser;
    std::unique_ptr<char[]> drain;
    for (;;) {
        if (char* buffer = parser.failed() ? nullptr : parser.buffer(kPieceSize)) {
            std::size_t length = reader.read(buffer, kPieceSize);
            if (length == 0) break;
            parser.feedBuffer(length);
            continue;
        }
        // Malformed XML: the rest is still inflated, because a broken archive
        // is reported first, as when the whole file is inflated before parsing.
        if (!drain) drain = std::make_unique<char[]>(kPieceSize);
        if (reader.read(drain.get(), kPieceSize) == 0) break;
    }
    if (reader.failed() || reader.inflatedBytes() == 0) throw ALSProjectScannerError::unreadableArchive(fileNameOf(path));
    if (!parser.finish()) throw ALSProjectScannerError::invalidXML();

    ALSFileAttributes attributes = manager_->attributes(path);
    return summarize(path.string(), parser.facts(), attributes.modifiedAt.value_or(project::kDistantPast),
                     attributes.size.value_or(static_cast<std::int64_t>(reader.inflatedBytes())), now);
}

ALSProjectIndex ALSProjectScanner::scan(const fs::path& folder, const ALSProjectIndex* previous,
                                        const Progress& progress) const {
    const fs::path root = folderPath(folder);
    std::vector<fs::path> files = liveSets(root);
    std::vector<std::string> unnamable;
    std::erase_if(files, [&](const fs::path& file) {
        if (isUtf8(file.native())) return false;
        unnamable.push_back(withReplacementCharacters(file.lexically_relative(root).string()) + " — " + std::string(kNotUtf8Warning));
        return true;
    });
    // One time for every score of the scan, so that the order does not depend
    // on which file happened to be read first.
    const auto now = clock_();
    const int total = static_cast<int>(files.size());
    if (progress) progress(0, total);

    std::map<std::string, const ALSProjectSummary*> known;
    if (previous != nullptr) {
        for (const auto& summary : previous->projects) known.emplace(summary.path, &summary);
    }

    struct Outcome {
        std::optional<ALSProjectSummary> summary;
        std::optional<std::string> warning;
    };
    std::vector<Outcome> outcomes(files.size());
    std::vector<std::size_t> toRead;
    int done = 0;
    for (std::size_t i = 0; i < files.size(); ++i) {
        auto found = known.find(files[i].string());
        if (found != known.end() && reusable(*found->second, manager_->attributes(files[i]))) {
            outcomes[i].summary = *found->second;
            if (progress) progress(++done, total);
        } else {
            toRead.push_back(i);
        }
    }

    auto read = [&](std::size_t i) {
        try {
            outcomes[i].summary = parseAt(files[i], now);
        } catch (const Error& error) {
            outcomes[i].warning = fileNameOf(files[i]) + " — " + error.description();
        } catch (const std::exception&) {
            // Out of memory or the like: this file is reported, the scan goes on.
            outcomes[i].warning =
                fileNameOf(files[i]) + " — " + ALSProjectScannerError::unreadableArchive(fileNameOf(files[i])).description();
        }
    };

    unsigned workers = workers_ != 0 ? workers_ : std::max(1u, std::thread::hardware_concurrency());
    workers = static_cast<unsigned>(std::min<std::size_t>(workers, toRead.size()));
    if (workers <= 1) {
        for (std::size_t i : toRead) {
            read(i);
            if (progress) progress(++done, total);
        }
    } else {
        std::atomic<std::size_t> next{0};
        std::mutex lock;
        std::condition_variable finished;
        std::size_t completed = 0;
        auto work = [&] {
            for (std::size_t k = next++; k < toRead.size(); k = next++) {
                read(toRead[k]);
                std::lock_guard<std::mutex> guard(lock);
                ++completed;
                finished.notify_one();
            }
        };
        // Workers are joined however this scope is left (a throwing progress
        // callback included): they use its locals.
        struct Pool {
            std::vector<std::thread> threads;
            ~Pool() {
                for (auto& thread : threads) thread.join();
            }
        } pool;
        for (unsigned w = 0; w < workers; ++w) {
            try {
                pool.threads.emplace_back(work);
            } catch (const std::system_error&) {
                break;  // the threads already started share the work
            }
        }
        if (pool.threads.empty()) {
            work();  // no thread could be started: read here
        }
        // Progress is reported here, on the caller's thread, one step at a time.
        std::size_t reported = 0;
        while (reported < toRead.size()) {
            std::size_t finishedCount;
            {
                std::unique_lock<std::mutex> guard(lock);
                finished.wait(guard, [&] { return completed > reported; });
                finishedCount = completed;
            }
            for (; reported < finishedCount; ++reported) {
                if (progress) progress(++done, total);
            }
        }
    }

    ALSProjectIndex index;
    index.folderPath = root.string();
    index.warnings = std::move(unnamable);
    for (auto& outcome : outcomes) {
        if (outcome.summary) index.projects.push_back(std::move(*outcome.summary));
        if (outcome.warning) index.warnings.push_back(std::move(*outcome.warning));
    }
    std::stable_sort(index.projects.begin(), index.projects.end(),
                     [](const ALSProjectSummary& a, const ALSProjectSummary& b) {
                         if (a.score != b.score) return a.score > b.score;
                         return a.modifiedAt > b.modifiedAt;
                     });
    index.scannedAt = clock_();
    return index;
}

}  // namespace vantorel
