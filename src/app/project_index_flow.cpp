// The local index of the producer's Live Sets: choosing a folder, scanning
// it, forgetting it, opening one of its sets.
//
// Scans and clears each start a new generation: a scan that finishes after a
// newer scan or a clear neither saves nor publishes, so clearing during a
// scan stays cleared and a slow scan of one folder cannot replace a newer one
// of another. Saves and clears run one after the other on a lane of their
// own, so the file ends as the last request left it.
#include "app/app_delegate.h"
#include "app/project_index_payload.h"
#include "common/text.h"
#include "project/als_project_scanner.h"

#include <sys/stat.h>

#include <algorithm>

namespace vantorel {

namespace {

constexpr std::string_view kClearedText = "Index local effacé. Aucun fichier Ableton n’a été modifié.";
constexpr std::string_view kOpenRequestedText = "Ouverture demandée à Ableton Live.";
constexpr std::string_view kOpenRefusedText = "Le système n’a pas pu ouvrir ce projet.";
constexpr std::string_view kNotIndexedText = "Ce projet ne fait pas partie de l’index local actuel.";

bool isLiveSetFile(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return false;
    if (path.size() <= 4) return false;
    return text::asciiEqualsIgnoringCase(std::string_view(path).substr(path.size() - 4), ".als");
}

}  // namespace

void AppDelegate::inIndexStoreLane(std::function<void()> work, std::function<void(std::exception_ptr)> done) {
    ++workInFlight_;
    auto owner = liveness_.watch();
    // The stores' own writer: one thread, first in first out, so the index
    // file's saves and clears land in request order.
    writer_.submit([this, owner, work = std::move(work), done = std::move(done)]() mutable {
        std::exception_ptr error;
        try {
            work();
        } catch (...) {
            error = std::current_exception();
        }
        loop_.post([this, owner, error = std::move(error), done = std::move(done)] {
            if (!owner.alive()) return;
            --workInFlight_;
            done(error);
        });
    });
}

void AppDelegate::chooseProjectFolder() {
    auto owner = liveness_.watch();
    shell().chooseFolder([this, owner](std::optional<std::filesystem::path> folder) {
        if (owner.alive() && folder) scanProjectFolder(*folder);
    });
}

void AppDelegate::scanProjectFolder(const std::filesystem::path& folder) {
    const std::uint64_t generation = ++projectIndexGeneration;
    send("projectScanProgress", Json{{"running", true}, {"completed", 0}, {"total", 0}});
    std::optional<ALSProjectIndex> previous;
    if (projectIndex && projectIndex->folderPath == ALSProjectScanner::folderPath(folder)) previous = projectIndex;
    auto owner = liveness_.watch();
    auto progress = [this, owner, generation](int done, int total) {
        loop_.post([this, owner, generation, done, total] {
            if (!owner.alive() || generation != projectIndexGeneration) return;
            send("projectScanProgress", Json{{"running", done < total}, {"completed", done}, {"total", total}});
        });
    };
    offLoop<ALSProjectIndex>(
        Lane::work,
        [folder, previous = std::move(previous), progress] {
            return ALSProjectScanner().scan(folder, previous ? &*previous : nullptr, progress);
        },
        [this, generation](Outcome<ALSProjectIndex> outcome) {
            if (generation != projectIndexGeneration) return;  // superseded: neither saved nor published
            if (!outcome.ok()) {
                send("projectScanResult", Json{{"ok", false}, {"message", describe(outcome.error())}});
                return;
            }
            auto index = std::make_shared<ALSProjectIndex>(std::move(outcome.get()));
            inIndexStoreLane([store = projectIndexStore, index] { store.save(*index); },
                             [this, generation, index](std::exception_ptr error) {
                                 // A clear queued behind this save will delete the file again.
                                 if (generation != projectIndexGeneration) return;
                                 if (error) {
                                     send("projectScanResult", Json{{"ok", false}, {"message", describe(error)}});
                                     return;
                                 }
                                 projectIndex = std::move(*index);
                                 sendProjectIndex();
                             });
        });
}

void AppDelegate::clearProjectIndex() {
    ++projectIndexGeneration;
    inIndexStoreLane([store = projectIndexStore] { store.clear(); },
                     [this](std::exception_ptr error) {
                         if (error) {
                             send("projectScanResult", Json{{"ok", false}, {"message", describe(error)}});
                             return;
                         }
                         projectIndex.reset();
                         sendProjectIndex();
                         send("projectScanResult", Json{{"ok", true}, {"message", kClearedText}});
                     });
}

void AppDelegate::sendProjectIndex() {
    if (projectIndex) {
        std::string payload;
        try {
            payload = projectIndexPayload(*projectIndex);
        } catch (const std::exception&) {
            payload.clear();  // an index that cannot be written is sent as no index
        }
        if (!payload.empty()) {
            sendSerialized("projectIndex", payload);
            return;
        }
    }
    send("projectIndex", Json{{"indexed", false}, {"projects", Json::array()}});
}

void AppDelegate::openIndexedProject(const std::string& path) {
    bool indexed = projectIndex && std::any_of(projectIndex->projects.begin(), projectIndex->projects.end(),
                                                [&](const ALSProjectSummary& project) { return project.path == path; });
    if (!indexed) {
        send("projectScanResult", Json{{"ok", false}, {"message", kNotIndexedText}});
        return;
    }
    // Only a Live Set that is still a regular file is handed to the desktop:
    // the index may be older than the folder.
    bool accepted = isLiveSetFile(path) && shell().openDocument(path);
    send("projectScanResult", Json{{"ok", accepted}, {"message", accepted ? kOpenRequestedText : kOpenRefusedText}});
}

}  // namespace vantorel
