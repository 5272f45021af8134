// vantorel-cli parse: the summary of one Live Set, as the project index holds
// it.
#include "cli/command.h"
#include "project/als_project_scanner.h"

namespace vantorel::cli {
namespace {

nlohmann::json runParse(const Options& options) {
    const std::string& file = options.required(0, "fichier .als");
    if (options.positional().size() > 1) throw UsageError("un seul fichier .als attendu");
    return ALSProjectScanner().parse(file).dictionary();
}

VANTOREL_CLI_COMMAND("parse", "FICHIER.als", "résume un projet Ableton : pistes, clips, tempo, étape", {}, runParse);

}  // namespace
}  // namespace vantorel::cli
