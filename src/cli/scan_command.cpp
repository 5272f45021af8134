// vantorel-cli scan: the project index of a folder of Live Sets, as the app
// stores and shows it. With --previous, unchanged files are taken from an
// earlier index instead of being read again.
#include "cli/command.h"
#include "project/als_project_scanner.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>

namespace vantorel::cli {
namespace {

constexpr int kBarWidth = 30;

// Redrawn in place on a terminal; nothing at all when standard error is a
// pipe or a file, so scripts get clean output.
void drawProgress(int done, int total) {
    int filled = total > 0 ? done * kBarWidth / total : kBarWidth;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kBarWidth - filled), ' ');
    std::fprintf(stderr, "\rAnalyse des projets [%s] %d/%d", bar.c_str(), done, total);
    if (done >= total) std::fputc('\n', stderr);
    std::fflush(stderr);
}

nlohmann::json runScan(const Options& options) {
    const std::string& folder = options.required(0, "dossier de projets");
    if (options.positional().size() > 1) throw UsageError("un seul dossier attendu");

    // The scanner treats a missing folder as one without Live Sets; at the
    // command line that is more likely a typing mistake, so say it.
    std::error_code error;
    if (!std::filesystem::is_directory(folder, error)) {
        throw ReportedError("CommandLineError", "folderMissing",
                            "Le dossier " + folder + " est introuvable ou n’est pas un dossier.");
    }

    std::optional<ALSProjectIndex> previous;
    if (auto path = options.value("--previous")) {
        try {
            previous = ALSProjectIndex::fromJson(readJsonFile(*path));
        } catch (const ALSProjectScannerError&) {
            throw ReportedError("CommandLineError", "invalidIndex",
                                "Le fichier " + *path + " n’est pas un index de projets valide.");
        }
    }

    ALSProjectScanner::Progress progress;
    if (::isatty(STDERR_FILENO)) progress = drawProgress;
    ALSProjectScanner scanner;
    return scanner.scan(folder, previous ? &*previous : nullptr, progress).dictionary();
}

VANTOREL_CLI_COMMAND("scan", "DOSSIER", "indexe les projets Ableton (.als) d’un dossier et les classe par étape",
                     {{"--previous", "INDEX.json", "index précédent : seuls les projets modifiés sont relus"}},
                     runScan);

}  // namespace
}  // namespace vantorel::cli
