// vantorel-cli measure: the local measurement of one audio file, as the app
// and vantorel-mcp return it.
#include "analysis/local_audio_analyzer.h"
#include "cli/command.h"

namespace vantorel::cli {
namespace {

nlohmann::json runMeasure(const Options& options) {
    const std::string& file = options.required(0, "fichier audio");
    if (options.positional().size() > 1) throw UsageError("un seul fichier audio attendu");
    AudioMeasurement measurement = LocalAudioAnalyzer::analyze(file, options.number("--transpose").value_or(0),
                                                               options.number("--start").value_or(0),
                                                               options.number("--duration"));
    return measurement.dictionary();
}

VANTOREL_CLI_COMMAND("measure", "FICHIER", "mesure niveau, dynamique, spectre, stéréo et tonalité d’un fichier audio",
                     {{"--transpose", "DEMITONS", "transposition du clip, en demi-tons"},
                      {"--start", "SECONDES", "début de l’extrait analysé, en secondes"},
                      {"--duration", "SECONDES", "durée de l’extrait analysé, en secondes"}},
                     runMeasure);

}  // namespace
}  // namespace vantorel::cli
