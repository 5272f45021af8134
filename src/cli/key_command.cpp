// vantorel-cli key: the musical key of an audio file, or of 12 pitch-class
// weights as the bridge reports them for a MIDI clip.
#include "analysis/musical_key_analyzer.h"
#include "cli/command.h"
#include "common/format.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace vantorel::cli {
namespace {

std::string trimmed(const std::string& text) {
    auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    auto last = text.find_last_not_of(" \t");
    return text.substr(first, last - first + 1);
}

// "c0,c1,…,c11". The count is not checked here: a chroma of the wrong length
// is the analyzer's insufficientSignal, as it is for the app.
std::vector<double> parseChroma(const std::string& text) {
    std::vector<double> chroma;
    if (trimmed(text).empty()) return chroma;
    std::size_t begin = 0;
    while (true) {
        std::size_t comma = text.find(',', begin);
        std::string token = trimmed(text.substr(begin, comma == std::string::npos ? std::string::npos : comma - begin));
        auto value = format::parseNumber(token);
        if (!value || !std::isfinite(*value)) throw UsageError("nombre attendu dans --chroma : « " + token + " »");
        chroma.push_back(*value);
        if (comma == std::string::npos) break;
        begin = comma + 1;
    }
    return chroma;
}

nlohmann::json runKey(const Options& options) {
    double transpose = options.number("--transpose").value_or(0);
    if (auto chroma = options.value("--chroma")) {
        if (!options.positional().empty()) throw UsageError("--chroma remplace le fichier audio : donnez l’un ou l’autre");
        if (options.has("--start") || options.has("--duration")) {
            throw UsageError("--start et --duration ne s’appliquent qu’à un fichier audio");
        }
        return MusicalKeyAnalyzer::detect(parseChroma(*chroma), transpose, 0).dictionary();
    }
    const std::string& file = options.required(0, "fichier audio (ou --chroma)");
    if (options.positional().size() > 1) throw UsageError("un seul fichier audio attendu");
    return MusicalKeyAnalyzer::analyzeAudio(file, transpose, options.number("--start").value_or(0),
                                            options.number("--duration"))
        .dictionary();
}

VANTOREL_CLI_COMMAND("key", "FICHIER | --chroma C0,…,C11",
                     "détecte la tonalité d’un fichier audio ou de 12 poids de classes de hauteur",
                     {{"--transpose", "DEMITONS", "transposition du clip, en demi-tons"},
                      {"--start", "SECONDES", "début de l’extrait analysé, en secondes"},
                      {"--duration", "SECONDES", "durée de l’extrait analysé, en secondes"},
                      {"--chroma", "C0,…,C11", "12 poids de classes de hauteur, à la place d’un fichier"}},
                     runKey);

}  // namespace
}  // namespace vantorel::cli
