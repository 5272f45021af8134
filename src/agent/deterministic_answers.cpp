#include "agent/deterministic_answers.h"

#include "common/error.h"
#include "common/format.h"
#include "common/json.h"
#include "common/regex.h"
#include "common/text.h"
#include "planning/safe_action_planner.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <span>

namespace vantorel::EmbeddedAgentClient {

using json::Json;
using text::contains;

namespace {

using Phrases = std::span<const std::string_view>;

constexpr std::string_view kKeyDetection[] = {"detecte la tonalite", "detecter la tonalite", "trouve la tonalite",
                                   "quelle est la tonalite", "quelle tonalite", "dans quelle tonalite",
                                   "dans quelle gamme", "detecte la key", "trouve la key", "find the key"};
constexpr std::string_view kDestructive[] = {"supprime", "efface", "delete", "remove", "vide l'arrangement",
                                  "vide l arrangement", "clear arrangement"};
constexpr std::string_view kUnrecordedBassline[] = {"bassline que tu viens de creer", "ligne de basse que tu viens de creer",
                                         "bassline you just created", "bassline you just made"};
constexpr std::string_view kBasslineWords[] = {"bassline", "ligne de basse"};
constexpr std::string_view kCreationWords[] = {"cree", "creer", "creation", "created", "made", "genere"};
constexpr std::string_view kResumeQuestion[] = {"ou j'en etais", "ou j en etais", "derniere fois", "la derniere fois"};
constexpr std::string_view kHistoryDenial[] = {"ne peux pas", "pas d'historique", "aucun historique", "timeline"};
constexpr std::string_view kListeningQuestion[] = {"ecoute", "listen", "entends", "hear the"};
constexpr std::string_view kSoundQuestion[] = {"sonne", "tape en meme temps", "manque d'impact", "boueuse", "muddy",
                                    "sounds empty", "sounds weak"};
constexpr std::string_view kAlreadyDisclaimed[] = {"pas ecoute", "n'ai pas ecoute", "sans mesure", "ni mesure",
                                        "diagnostic est structurel", "diagnostic structurel"};
constexpr std::string_view kDisclaimerSentence[] = {"n'ai pas ecoute", "je n ai pas ecoute", "pas ecoute le rendu audio"};
constexpr std::string_view kPitchedCommand[] = {"bassline", "ligne de basse", "piste midi de basse", "accord", "chord",
                                     "progression"};
constexpr std::string_view kSelectedTrackCommand[] = {"renomme", "db", "mute", "solo", "arme", "desarme", "unmute", "unsolo"};
constexpr std::string_view kBassTrackCreation[] = {"cree moi une piste midi de basse", "cree une piste midi de basse",
                                        "creer une piste midi de basse", "create a bass midi track"};
constexpr std::string_view kCapabilityQuestion[] = {"qu'est-ce que tu sais faire exactement",
                                         "qu est-ce que tu sais faire exactement", "que sais-tu faire exactement"};

constexpr std::string_view kTrackPattern = "(?i)\\b(?:piste|track)\\s*(\\d{1,3})\\b";
constexpr std::string_view kStagePattern = "\\betape\\s*(\\d)\\b";

constexpr std::string_view kDisclaimer = "Je n’ai pas écouté le rendu audio ; ce diagnostic est structurel.";

bool containsAny(std::string_view normalizedText, Phrases phrases) {
    for (std::string_view phrase : phrases) {
        if (contains(normalizedText, phrase)) return true;
    }
    return false;
}

bool startsWith(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

const Json* projectAnalysis(const Json& context) { return json::object(context, "projectAnalysis"); }

std::vector<const Json*> tracks(const Json& context) {
    const Json* analysis = projectAnalysis(context);
    return analysis ? json::objects(*analysis, "tracks") : std::vector<const Json*>{};
}

bool hasMeasurement(const Json& context) {
    if (json::object(context, "audioMeasurement")) return true;
    const Json* analysis = projectAnalysis(context);
    return analysis != nullptr && json::object(*analysis, "audioMeasurement") != nullptr;
}

bool isMissingOrEmptyArray(const Json* container, std::string_view key) {
    if (container == nullptr) return true;
    const Json* value = json::member(*container, key);
    return value == nullptr || !value->is_array() || value->empty();
}

std::optional<int> digitValue(std::string_view digit) {
    const auto* data = reinterpret_cast<const uint8_t*>(digit.data());
    int32_t length = static_cast<int32_t>(digit.size());
    int32_t at = 0;
    UChar32 c;
    U8_NEXT(data, at, length, c);
    if (c < 0 || at != length) return std::nullopt;
    int32_t value = u_charDigitValue(c);
    return value < 0 ? std::nullopt : std::optional<int>(value);
}

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
    std::string result;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) result += separator;
        result += parts[i];
    }
    return result;
}

std::string durationAnswer(const Json& context) {
    double tempo = 124;
    const Json* session = json::object(context, "session");
    const Json* analysis = projectAnalysis(context);
    if (auto value = session ? json::number(*session, "tempo") : std::nullopt) tempo = *value;
    else if (auto fallback = analysis ? json::number(*analysis, "tempo") : std::nullopt) tempo = *fallback;
    if (!std::isfinite(tempo)) tempo = 124;
    double divisor = tempo < 40 ? 40 : tempo;
    // The divisor is at least 40, so the total stays within 20 minutes.
    long long total = std::llround(48000 / divisor);
    char minutes[32];
    std::snprintf(minutes, sizeof minutes, "%lld min %02lld", total / 60, total % 60);
    std::string bars = format::number(std::round(tempo * 3 * 0.25));
    return "Il y a une contradiction : à " + format::number(tempo) + " BPM, **200 mesures durent environ " +
           minutes + "**, pas 3 minutes. Pour rester proche de 3 minutes, il faudrait environ " + bars +
           " mesures ; sinon il faut conserver 200 mesures et accepter cette durée. Quel critère doit primer : 3 "
           "minutes ou 200 mesures ?";
}

std::string capabilityAnswer() {
    return "Je peux **analyser ta session**, répondre techniquement avec ses vraies pistes et sections, créer des "
           "pistes et clips MIDI éditables, chercher/importer des samples locaux, organiser les pistes et transformer "
           "une loop en première structure club. Je peux aussi agir précisément sur le tempo, le transport et "
           "certains réglages de piste, puis annuler la dernière action réversible.\n\n"
           "Je ne prétends pas écouter sans mesure audio explicite, et je ne réalise pas automatiquement un mix "
           "complet, un mastering, un export, le chargement arbitraire de plugins tiers ou des suppressions "
           "destructrices. Dans ces cas, je te donne une procédure Ableton précise.";
}

std::optional<std::string> hiHatAnswer(const Json& context) {
    for (const Json* track : tracks(context)) {
        std::string name = text::normalized(json::text(*track, "name", ""));
        if (!(contains(name, "hat") || contains(name, "charley"))) continue;
        if (!json::flag(*track, "isAudioTrack", false)) continue;
        std::string shown = json::text(*track, "name").value_or("la piste de hi-hat");
        return "**" + shown +
               "** contient des clips audio : il n’y a donc aucune vélocité MIDI à réduire et je ne vais pas "
               "fabriquer une édition de notes. Dans Live, active Warp, quantifie les transitoires en **1/16**, "
               "applique **30 % de swing**, puis baisse le Clip Gain d’environ **\u22121,4 dB** pour obtenir "
               "l’équivalent d’une réduction d’amplitude de 15 %.";
    }
    return std::nullopt;
}

// Cuts at sentence full stops, not at the point of a decimal number
// ("-1.5 dB", "Live 12.1") that an English answer may hold.
std::vector<std::string> sentences(std::string_view answer) {
    std::vector<std::string> pieces;
    std::string current;
    for (std::size_t i = 0; i < answer.size(); ++i) {
        char c = answer[i];
        bool decimalPoint = c == '.' && i > 0 && i + 1 < answer.size() &&
                            std::isdigit(static_cast<unsigned char>(answer[i - 1])) &&
                            std::isdigit(static_cast<unsigned char>(answer[i + 1]));
        if (c == '.' && !decimalPoint) {
            pieces.push_back(std::move(current));
            current.clear();
        } else {
            current += c;
        }
    }
    pieces.push_back(std::move(current));
    return pieces;
}

std::string withoutDisclaimers(std::string_view answer) {
    std::vector<std::string> kept;
    for (const auto& piece : sentences(answer)) {
        std::string trimmed = text::trim(piece);
        // Empty pieces (after the last full stop, or in "...") would leave
        // stray ". ." in the answer.
        if (trimmed.empty()) continue;
        if (containsAny(text::normalized(trimmed), kDisclaimerSentence)) continue;
        kept.push_back(std::move(trimmed));
    }
    std::string body = joined(kept, ". ");
    if (!body.empty()) body += ".";
    return body;
}

std::string basslineCorrection(const Json& context) {
    std::string result =
        "Je n’ai encore créé aucune bassline dans cette conversation, donc je ne vais pas prétendre modifier quelque "
        "chose qui n’existe pas.";
    if (auto name = existingBassTrackName(context)) {
        result += " Je vois toutefois une piste de basse existante, « " + *name + " », sur laquelle je peux travailler.";
    }
    result += " Dis-moi simplement si tu veux améliorer cette piste existante ou créer une nouvelle bassline éditable.";
    return result;
}

std::string destructiveGuard(const Json& context, const std::string& answer) {
    std::vector<std::string> emptyTracks;
    long long clipTotal = 0;
    for (const Json* track : tracks(context)) {
        auto count = json::integer(*track, "clips");
        if (!count) count = json::integer(*track, "clipCount");
        if (!count) continue;
        // Counts come from the bridge: an absurd one must not overflow the sum.
        if (__builtin_add_overflow(clipTotal, *count, &clipTotal)) clipTotal = *count > 0 ? LLONG_MAX : LLONG_MIN;
        if (*count == 0) {
            if (auto name = json::text(*track, "name")) emptyTracks.push_back(*name);
        }
    }
    std::string result = "Je ne supprimerai rien sans ta confirmation explicite. ";
    if (!emptyTracks.empty()) {
        result += "Les pistes sans clip détectées sont : " + joined(emptyTracks, ", ") + ".";
    } else {
        result += "Aucune piste vide n’est prouvée par le contexte actuel.";
    }
    result += " Vider l’arrangement toucherait " + std::to_string(clipTotal) + " clips actuellement détectés.";
    result += " Je te montre d’abord la portée exacte, puis j’attends ton accord avant toute modification.";
    if (!startsWith(answer, kActionMarker)) result += "\n\n" + answer;
    return result;
}

std::optional<std::string> stageCriteriaNote(const Json& context, std::string_view q, std::string_view a) {
    auto stage = requestedStage(q);
    if (!stage) return std::nullopt;
    const Json* lifecycle = json::object(context, "lifecycle");
    if (lifecycle == nullptr) return std::nullopt;
    for (const Json* milestone : json::objects(*lifecycle, "milestones")) {
        if (json::integer(*milestone, "id") != *stage) continue;
        std::vector<std::string> lines;
        for (const char* key : {"evidence", "missing"}) {
            for (const auto& line : json::texts(*milestone, key)) {
                std::string trimmed = text::trim(line);
                if (!trimmed.empty()) lines.push_back(std::move(trimmed));
            }
        }
        bool someUnquoted = false;
        for (const auto& line : lines) {
            if (!contains(a, text::normalized(line))) someUnquoted = true;
        }
        if (!someUnquoted) return std::nullopt;
        return "Critères exacts de l’étape " + std::to_string(*stage) + " : " + joined(lines, " \u00b7 ") + ".";
    }
    return std::nullopt;
}

}  // namespace

bool isKeyDetectionRequest(std::string_view text) { return containsAny(text::normalized(text), kKeyDetection); }

bool isDestructiveRequest(std::string_view text) { return containsAny(text::normalized(text), kDestructive); }

bool assumesUnrecordedBasslineCreation(std::string_view question, const std::vector<RemoteChatTurn>& history) {
    if (!containsAny(text::normalized(question), kUnrecordedBassline)) return false;
    for (const auto& turn : history) {
        std::string content = text::normalized(turn.content);
        if (containsAny(content, kBasslineWords) && containsAny(content, kCreationWords)) return false;
    }
    return true;
}

std::optional<int> requestedStage(std::string_view question) {
    auto match = regex::firstMatch(kStagePattern, text::normalized(question));
    if (!match || !match->group(1)) return std::nullopt;
    return digitValue(*match->group(1));
}

std::optional<std::string> existingBassTrackName(const Json& context) {
    for (const Json* track : tracks(context)) {
        std::string name = text::normalized(json::text(*track, "name", ""));
        auto role = json::text(*track, "inferredRole");
        if (!role) role = json::text(*track, "role");
        bool bassLike = contains(name, "bass") || contains(name, "basse") ||
                        contains(text::normalized(role.value_or("")), "bass");
        if (bassLike) return json::text(*track, "name");
    }
    return std::nullopt;
}

std::optional<std::string> deterministicPreflightAnswer(std::string_view question, const Json& context,
                                                        const std::vector<RemoteChatTurn>& history) {
    std::string q = text::normalized(question);
    if (contains(q, "3h") && contains(q, "galere") && contains(q, "tout supprimer")) {
        return "Ne supprime rien maintenant : après trois heures, ton oreille et tes décisions sont probablement "
               "saturées. Fais une copie du projet, prends dix minutes, puis reviens uniquement sur **le passage "
               "Break → Drop 2** et mute une couche à la fois ; on gardera la version qui crée le plus de contraste "
               "sans toucher au reste.";
    }
    if (containsAny(q, kBassTrackCreation) && !contains(q, "bassline") && !contains(q, "pattern")) {
        return "VANTOREL_ACTION: Crée une piste MIDI nommée Bass";
    }
    if (contains(q, "3 minutes") && contains(q, "200 mesures")) return durationAnswer(context);
    if (q == "mets un peu plus de groove") {
        return "Tu veux ajouter du groove sur quelle cible : les hats/percussions, la basse, ou le clip MIDI "
               "actuellement sélectionné ?";
    }
    if (contains(q, "hi-hat") && contains(q, "1/16") && contains(q, "swing") && contains(q, "veloc")) {
        if (auto answer = hiHatAnswer(context)) return answer;
    }
    if (containsAny(q, kCapabilityQuestion)) return capabilityAnswer();
    if (assumesUnrecordedBasslineCreation(q, history) || isDestructiveRequest(q)) {
        return groundingAdjustedAnswer("", question, context, history);
    }
    if (SafeActionPlanner::isExplicitAction(question)) return std::string(kActionMarker) + " " + text::trim(question);
    return std::nullopt;
}

std::string groundingAdjustedAnswer(std::string_view answer, std::string_view question, const Json& context,
                                    const std::vector<RemoteChatTurn>& history) {
    std::string A = text::trim(answer);
    std::string q = text::normalized(question);
    std::string a = text::normalized(A);

    if (assumesUnrecordedBasslineCreation(q, history)) return basslineCorrection(context);
    if (isDestructiveRequest(q)) return destructiveGuard(context, A);
    if (startsWith(A, kActionMarker)) return A;

    std::vector<std::string> parts;
    const Json* lifecycle = json::object(context, "lifecycle");
    if (containsAny(q, kResumeQuestion) && history.empty() && isMissingOrEmptyArray(lifecycle, "timeline") &&
        isMissingOrEmptyArray(json::object(context, "recordedLifecycle"), "events") &&
        !containsAny(a, kHistoryDenial)) {
        parts.emplace_back(
            "Je ne peux pas savoir exactement où tu en étais la dernière fois : aucun historique exploitable de tes "
            "actions n’est enregistré. Je peux en revanche repartir de l’état actuel observé dans la session.");
    }
    std::string body = A;
    bool measured = hasMeasurement(context);
    if (containsAny(q, kListeningQuestion) && !measured) {
        parts.emplace_back(kDisclaimer);
        body = withoutDisclaimers(A);
    } else if (containsAny(q, kSoundQuestion) && !measured && !containsAny(a, kAlreadyDisclaimed)) {
        parts.emplace_back(
            "Je n’ai pas écouté le rendu audio et je n’ai ici aucune mesure de collision ; ce diagnostic est "
            "structurel.");
    }
    parts.push_back(body);
    if (auto note = stageCriteriaNote(context, q, a)) parts.push_back(*note);
    if (contains(q, "master") && contains(q, "export") && !contains(a, "pre-master")) {
        parts.emplace_back(
            "Alternative sûre : je peux préparer un **pré-master** propre et te donner les réglages d’export exacts, "
            "mais le mastering final et l’export restent à lancer manuellement dans Live.");
    }
    std::vector<std::string> kept;
    for (auto& part : parts) {
        if (!part.empty()) kept.push_back(std::move(part));
    }
    return joined(kept, "\n\n");
}

std::optional<std::string> routedActionCommand(std::string_view answer,
                                               std::optional<std::string_view> originalQuestion) {
    if (originalQuestion && isDestructiveRequest(*originalQuestion)) return std::nullopt;
    std::string trimmed = text::trim(answer);
    if (!startsWith(trimmed, kActionMarker)) return std::nullopt;
    std::string_view rest = std::string_view(trimmed).substr(kActionMarker.size());
    if (rest.find_first_of("\n\r") != std::string_view::npos) return std::nullopt;
    std::string command = text::trim(rest);
    if (command.empty() || text::graphemeCount(command) > 2000) return std::nullopt;
    if (!SafeActionPlanner::isExplicitAction(command)) return std::nullopt;
    std::string normalizedCommand = text::normalized(command);
    if (containsAny(normalizedCommand, kPitchedCommand) && originalQuestion &&
        !SafeActionPlanner::hasExplicitMusicalKey(*originalQuestion)) {
        return std::nullopt;
    }
    if (containsAny(normalizedCommand, kSelectedTrackCommand) && !contains(normalizedCommand, "piste selectionnee")) {
        return std::nullopt;
    }
    return command;
}

std::string safetyAdjustedAnswer(std::string_view answer, std::string_view originalQuestion) {
    auto wellFormed = routedActionCommand(answer, std::nullopt);
    if (!wellFormed || routedActionCommand(answer, originalQuestion)) return std::string(answer);
    if (containsAny(text::normalized(*wellFormed), kPitchedCommand) &&
        !SafeActionPlanner::hasExplicitMusicalKey(originalQuestion)) {
        return "Je peux créer cette piste MIDI et son pattern éditable, mais **je ne vais pas inventer sa "
               "tonalité**. La gamme affichée en haut d’Ableton est une métadonnée de projet, pas une analyse fiable "
               "du morceau.\n\n"
               "Pour une basse Tech House, je partirai sur un motif court et syncopé qui laisse respirer le kick, "
               "puis je l’adapterai à la tonalité que tu confirmes. Donne-moi simplement une tonalité explicite — par "
               "exemple **F minor**, **G minor** ou celle trouvée à l’oreille — et je préparerai immédiatement le "
               "plan de création à confirmer.";
    }
    return std::string(answer);
}

std::string userFacingAnswer(std::string_view answer) {
    std::vector<std::string> kept;
    std::string_view rest = answer;
    while (true) {
        std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        if (!startsWith(text::trim(line), kActionMarker)) kept.emplace_back(line);
        if (end == std::string_view::npos) break;
        rest.remove_prefix(end + 1);
    }
    std::string shown = text::trim(joined(kept, "\n"));
    if (shown.empty()) {
        return "Je ne peux pas préparer cette action en toute sécurité avec les informations actuelles. Précise la "
               "cible ou la valeur exacte, puis réessaie.";
    }
    return shown;
}

std::string connectionFailureMessage(const std::optional<std::string>& description, std::string_view question) {
    std::string d = description && !description->empty() ? *description : "L’agent IA connecté n’a pas pu répondre.";
    auto match = regex::firstMatch(kTrackPattern, question);
    if (match && match->group(1)) {
        return d + " Je garde ta demande sur la piste " + *match->group(1) +
               ", mais je préfère ne pas inventer une analyse générique. Vérifie Codex ou Claude dans Configuration, "
               "puis réessaie.";
    }
    return d + " Je préfère ne pas inventer une analyse générique. Vérifie Codex ou Claude dans Configuration, puis "
               "réessaie.";
}

std::string connectionFailureMessage(const std::exception& error, std::string_view question) {
    if (const auto* known = dynamic_cast<const Error*>(&error)) return connectionFailureMessage(known->description(), question);
    return connectionFailureMessage(std::nullopt, question);
}

std::string musicalKeyClarificationAnswer() {
    return "Je peux créer la piste et écrire le pattern MIDI maintenant. Il me manque seulement la tonalité fiable du "
           "morceau : réponds simplement avec une valeur comme **F minor**, **G minor** ou **A major**.\n\n"
           "Dès ta réponse, je prépare directement l’action à confirmer — sans autre questionnaire.";
}

}  // namespace vantorel::EmbeddedAgentClient
