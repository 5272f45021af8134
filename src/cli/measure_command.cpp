// vantorel-cli measure: the local measurement of one audio file, as the app
// and vantorel-mcp return it.
#include "analysis/local_audio_analyzer.h"
#include "cli/command.h"

namespace vantorel::cli {
namespace {

nlohmann::json runMeasure(const Args& args) {
    Options options(args, {{"--transpose"}, {"--start"}, {"--duration"}});
    const std::string& file = options.required(0, "fichier audio");
    if (options.positional().size() > 1) throw UsageError("un seul fichier audio attendu");
    AudioMeasurement measurement = LocalAudioAnalyzer::analyze(file, options.number("--transpose").value_or(0),
                                                               options.number("--start").value_or(0),
                                                               options.number("--duration"));
    return measurement.dictionary();
}

VANTOREL_CLI_COMMAND("measure", "FICHIER [--transpose DEMITONS] [--start SECONDES] [--duration SECONDES]",
                     "mesure niveau, dynamique, spectre, stéréo et tonalité d’un fichier audio", runMeasure);

}  // namespace
}  // namespace vantorel::cli
