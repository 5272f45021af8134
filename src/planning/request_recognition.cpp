#include "planning/request_recognition.h"

#include "common/regex.h"
#include "common/text.h"

#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <limits>
#include <vector>

namespace vantorel::SafeActionPlanner {

namespace {

template <std::size_t N>
bool any(std::string_view text, const std::array<std::string_view, N>& phrases) {
    for (std::string_view phrase : phrases) {
        if (text::contains(text, phrase)) return true;
    }
    return false;
}

constexpr std::array<std::string_view, 11> organisePhrases = {
    "organis",          "prepare le mix",      "preparer le mix", "gain staging",
    "code couleur",     "nettoie ma session",  "range et colore", "range ma session",
    "colore la session", "renomme toutes les pistes", "identifie les pistes",
};
constexpr std::array<std::string_view, 4> groupPhrases = {"groupe les", "regroupe les", "cree des groupes",
                                                          "group tracks"};
constexpr std::array<std::string_view, 7> undoPhrases = {
    "annule ca", "annule la derniere", "annuler la derniere", "annule tout", "annuler tout", "undo",
    "reviens en arriere",
};
constexpr std::array<std::string_view, 13> improvementVerbs = {
    "ameliore",     "fais evoluer",  "rends-la plus",  "rends le plus", "ajoute une variation",
    "apporte plus de creativite",    "plus creatif",   "plus creative", "complexifie",
    "varie le clip", "varie ce clip", "humanise",      "change les accords",
};
constexpr std::array<std::string_view, 4> improvementObjects = {"clip midi", "bassline", "ligne de basse",
                                                                "midi selectionne"};
constexpr std::array<std::string_view, 11> midiPartPhrases = {
    "pattern", "bassline", "ligne de basse", "piste midi de basse", "batterie", "drum",
    "hi-hat",  "kick",     "accord",         "chord",               "progression midi",
};
constexpr std::array<std::string_view, 6> pitchedPartPhrases = {"bassline", "ligne de basse", "piste midi de basse",
                                                                "accord",   "chord",          "progression midi"};
constexpr std::array<std::string_view, 4> drumPhrases = {"batterie", "drum", "hi-hat", "kick"};
constexpr std::array<std::string_view, 3> chordPhrases = {"accord", "chord", "progression midi"};
constexpr std::array<std::string_view, 12> creationVerbs = {
    "cree", "creer",   "genere",   "construis",  "fais",      "ajoute",
    "fabrique", "je veux", "je voudrais", "j aimerais", "j'aimerai", "j’aimerais",
};
constexpr std::array<std::string_view, 4> selectedTrackPhrases = {
    "sur la piste selectionnee", "dans la piste selectionnee", "sur cette piste", "dans cette piste"};
// Style words only: the bass switches to its rolling variant for a sound,
// never for the name of whoever made it famous.
constexpr std::array<std::string_view, 7> rollingStylePhrases = {"minimal", "rolling",  "roulante",  "groovy",
                                                                 "roulant", "hypnotique", "hypnotic"};
constexpr std::array<std::string_view, 3> minorWords = {"minor", "mineur", "min "};
constexpr std::array<std::string_view, 3> majorWords = {"major", "majeur", "maj "};

struct KeyToken {
    std::string_view token;
    int root;
    std::string_view display;
};

// Sharps and flats before solfège before letters: "la" in "sur la piste"
// is read as A before the "f" of "F minor" is reached.
constexpr std::array<KeyToken, 24> keyTokens = {{
    {"c#", 1, "C♯"}, {"db", 1, "D♭"}, {"d#", 3, "D♯"}, {"eb", 3, "E♭"}, {"f#", 6, "F♯"},  {"gb", 6, "G♭"},
    {"g#", 8, "G♯"}, {"ab", 8, "A♭"}, {"a#", 10, "A♯"}, {"bb", 10, "B♭"}, {"do", 0, "C"},  {"re", 2, "D"},
    {"mi", 4, "E"},  {"fa", 5, "F"},  {"sol", 7, "G"},  {"la", 9, "A"},   {"si", 11, "B"}, {"c", 0, "C"},
    {"d", 2, "D"},   {"e", 4, "E"},   {"f", 5, "F"},    {"g", 7, "G"},    {"a", 9, "A"},   {"b", 11, "B"},
}};

std::string escaped(std::string_view literal) {
    std::string out;
    for (char c : literal) {
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!plain) out.push_back('\\');
        out.push_back(c);
    }
    return out;
}

const std::vector<std::string>& keyTokenPatterns() {
    static const std::vector<std::string> patterns = [] {
        std::vector<std::string> made;
        made.reserve(keyTokens.size());
        for (const auto& key : keyTokens) {
            made.push_back("(?:^|[^a-z0-9])" + escaped(key.token) + "(?:[^a-z0-9]|$)");
        }
        return made;
    }();
    return patterns;
}

std::string replaced(std::string_view text, std::string_view from, std::string_view to) {
    std::string out;
    out.reserve(text.size());
    std::size_t start = 0;
    while (true) {
        std::size_t found = text.find(from, start);
        if (found == std::string_view::npos) break;
        out.append(text.substr(start, found - start));
        out.append(to);
        start = found + from.size();
    }
    out.append(text.substr(start));
    return out;
}

// Locale-independent: a French locale must not turn "124.5" into 124.
std::optional<double> parsedNumber(std::string_view digits) {
    std::string text = replaced(digits, ",", ".");
    double value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

// White space, line breaks and punctuation at both ends ("« Lead ! »" → "Lead").
std::string trimmedOfPunctuation(std::string_view text) {
    icu::UnicodeString value =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    auto strip = [](UChar32 c) { return u_isUWhiteSpace(c) || u_ispunct(c); };
    int32_t start = 0;
    int32_t end = value.length();
    while (start < end && strip(value.char32At(start))) start = value.moveIndex32(start, 1);
    while (end > start) {
        int32_t previous = value.moveIndex32(end, -1);
        if (!strip(value.char32At(previous))) break;
        end = previous;
    }
    std::string out;
    value.tempSubStringBetween(start, end).toUTF8String(out);
    return out;
}

}  // namespace

std::string normalizedRequest(std::string_view text) { return text::lower(text::fold(text)); }

bool containsAny(std::string_view text, std::initializer_list<std::string_view> phrases) {
    for (std::string_view phrase : phrases) {
        if (text::contains(text, phrase)) return true;
    }
    return false;
}

bool isUndoRequest(std::string_view normalized) { return any(normalized, undoPhrases); }

bool isMidiImprovementRequest(std::string_view normalized) {
    return any(normalized, improvementVerbs) && any(normalized, improvementObjects);
}

bool isOrganiseRequest(std::string_view normalized) {
    if (any(normalized, organisePhrases)) return true;
    return text::contains(normalized, "toutes les pistes") &&
           containsAny(normalized, {"renomme", "colore", "identifie"});
}

bool isGroupsRequest(std::string_view normalized) { return any(normalized, groupPhrases); }
bool mentionsMidiPart(std::string_view normalized) { return any(normalized, midiPartPhrases); }
bool mentionsPitchedPart(std::string_view normalized) { return any(normalized, pitchedPartPhrases); }
bool mentionsDrums(std::string_view normalized) { return any(normalized, drumPhrases); }
bool mentionsChords(std::string_view normalized) { return any(normalized, chordPhrases); }
bool hasCreationVerb(std::string_view normalized) { return any(normalized, creationVerbs); }
bool mentionsSelectedTrack(std::string_view normalized) { return any(normalized, selectedTrackPhrases); }
bool mentionsRollingStyle(std::string_view normalized) { return any(normalized, rollingStylePhrases); }

bool isMasterListenRequest(std::string_view normalized) {
    return containsAny(normalized, {"ecoute le master", "ecoute le mix", "analyse le master", "mesure le master",
                                    "mesure la loudness", "verifie la crete", "listen to the master",
                                    "measure the master"});
}

namespace {

// Digits of group 1 as a count; one too large to hold reads as the largest,
// so that the caller's range check refuses it rather than a default taking
// its place.
std::optional<long long> countIn(std::string_view pattern, std::string_view normalized) {
    auto match = regex::firstMatch(pattern, normalized);
    if (!match || !match->group(1)) return std::nullopt;
    const std::string& digits = *match->group(1);
    long long value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error == std::errc::result_out_of_range) return std::numeric_limits<long long>::max();
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

}  // namespace

std::optional<long long> listenStartBar(std::string_view normalized) {
    auto bar = countIn(R"((?:a partir de la mesure|depuis la mesure|from bar|starting at bar)\s*([0-9]+))", normalized);
    if (bar) return std::max(*bar, 1LL);
    return std::nullopt;
}

std::optional<long long> listenBars(std::string_view normalized) {
    return countIn(R"(([0-9]+)\s*(?:mesures?|bars?)(?:[^a-z]|$))", normalized);
}

std::optional<MusicalKey> explicitKey(std::string_view normalized) {
    bool minor = any(normalized, minorWords);
    bool major = any(normalized, majorWords);
    if (!minor && !major) return std::nullopt;
    // Vantorel itself writes key names with "♯" and "♭" (a key question's
    // answer is folded back as "· tonalité F♯ minor"); the tokens spell them
    // "#" and "b".
    std::string text = replaced(replaced(normalized, "♯", "#"), "♭", "b");
    const auto& patterns = keyTokenPatterns();
    for (std::size_t i = 0; i < keyTokens.size(); ++i) {
        // The plain substring test is only a shortcut: without it the
        // pattern cannot match either.
        if (!text::contains(text, keyTokens[i].token)) continue;
        if (!regex::contains(patterns[i], text)) continue;
        return MusicalKey{keyTokens[i].root, minor,
                          std::string(keyTokens[i].display) + (minor ? " minor" : " major")};
    }
    return std::nullopt;
}

std::optional<int> barsCount(std::string_view normalized) {
    auto match = regex::firstMatch(R"(([1-9][0-9]?)\s*(?:mesure|mesures|bar|bars))", normalized);
    if (!match || !match->group(1)) return std::nullopt;
    const std::string& digits = *match->group(1);
    int value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

std::optional<double> decibels(std::string_view normalized) {
    std::string text = replaced(normalized, "\u2212", "-");
    auto match = regex::firstMatch(R"((-?[0-9]{1,2}(?:[.,][0-9])?)\s*d\s*b)", text, regex::caseInsensitive);
    if (!match || !match->group(1)) return std::nullopt;
    auto value = parsedNumber(*match->group(1));
    if (!value || *value < -70 || *value > 6) return std::nullopt;
    return value;
}

std::optional<double> tempoValue(std::string_view normalized) {
    auto match = regex::firstMatch(
        R"((?:tempo|bpm)[^0-9]{0,24}([0-9]{2,3}(?:[.,][0-9])?)|([0-9]{2,3}(?:[.,][0-9])?)[^a-z0-9]{0,5}bpm)",
        normalized, regex::caseInsensitive);
    if (!match) return std::nullopt;
    for (std::size_t group = 1; group <= 2; ++group) {
        if (!match->group(group)) continue;
        auto value = parsedNumber(*match->group(group));
        if (value && *value >= 40 && *value <= 240) return value;
    }
    return std::nullopt;
}

std::optional<std::string> requestedName(std::string_view trimmedPrompt) {
    // "nomm…" and "appel…" only where a word starts: inside "renomme la
    // piste" the first expression would otherwise name the track "la piste".
    static constexpr std::array<std::string_view, 2> expressions = {
        R"(\b(?:nomm[ée]e?|appel[ée]e?)\s+[«"']?([^«»"']{1,96})[»"']?$)",
        R"(\b(?:en|to)\s+[«"']([^«»"']{1,96})[»"']\s*$)",
    };
    for (std::string_view expression : expressions) {
        auto match = regex::firstMatch(expression, trimmedPrompt, regex::caseInsensitive);
        if (!match || !match->group(1)) continue;
        std::string name = trimmedOfPunctuation(*match->group(1));
        if (!name.empty()) return text::graphemePrefix(name, 96);
    }
    return std::nullopt;
}

std::optional<std::pair<std::string, bool>> trackState(std::string_view normalized) {
    if (containsAny(normalized, {"desarme", "unarm"})) return std::pair<std::string, bool>{"arm", false};
    if (containsAny(normalized, {"arme la piste", "arm la piste"})) return std::pair<std::string, bool>{"arm", true};
    if (containsAny(normalized, {"unmute", "enleve le mute"})) return std::pair<std::string, bool>{"mute", false};
    if (text::contains(normalized, "mute")) return std::pair<std::string, bool>{"mute", true};
    if (containsAny(normalized, {"enleve le solo", "unsolo"})) return std::pair<std::string, bool>{"solo", false};
    if (text::contains(normalized, "solo")) return std::pair<std::string, bool>{"solo", true};
    return std::nullopt;
}

std::string midiTransformation(std::string_view normalized) {
    if (containsAny(normalized, {"humanise", "humanize", "naturel", "moins robotique"})) return "humanize";
    if (containsAny(normalized, {"groove", "groovy", "roulante", "swing"})) return "groove";
    if (containsAny(normalized, {"variation", "varie", "evolue"})) return "variation";
    return "creative";
}

}  // namespace vantorel::SafeActionPlanner
