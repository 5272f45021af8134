#include "planning/arrangement_plans.h"

#include "common/regex.h"
#include "common/text.h"
#include "planning/local_plan.h"
#include "planning/request_recognition.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace vantorel::SafeActionPlanner {

namespace {

using Roles = std::vector<std::string>;

// Role sets of the templates.
const Roles& all() {
    static const Roles roles(trackRoles.begin(), trackRoles.end());
    return roles;
}
const Roles& allWithoutVocal() {
    static const Roles roles = [] {
        Roles made;
        for (auto role : trackRoles) {
            if (role != "vocal") made.emplace_back(role);
        }
        return made;
    }();
    return roles;
}
const Roles groove = {"kick", "clap", "snare", "hat", "percussion", "drums", "bass", "harmony", "music"};
const Roles build1 = {"kick", "hat", "percussion", "drums", "harmony", "music", "lead", "vocal", "fx"};
const Roles build = {"kick", "hat", "percussion", "harmony", "music", "lead", "vocal", "fx"};
const Roles breakdown = {"harmony", "music", "lead", "vocal", "fx"};
const Roles build2 = {"hat", "percussion", "harmony", "music", "lead", "vocal", "fx"};
const Roles outroA = {"kick", "clap", "hat", "percussion", "drums", "bass", "fx"};
const Roles outroB = {"kick", "hat", "percussion", "drums", "fx"};

struct RoleKeywords {
    std::string_view role;
    std::string_view label;
    std::vector<std::string_view> keywords;

    bool matches(std::string_view text) const {
        return std::any_of(keywords.begin(), keywords.end(),
                           [&](std::string_view keyword) { return text::contains(text, keyword); });
    }
};

// Tried in order; the first role with a keyword in the request wins.
const std::array<RoleKeywords, 10>& roleTable() {
    static const std::array<RoleKeywords, 10> table = {{
        {"kick", "kick", {"kick", "bass drum"}},
        {"clap", "clap", {"clap", "snare", "rim"}},
        {"hat", "hi-hat", {"hi-hat", "hihat", "hat", "shaker"}},
        {"percussion", "perc", {"percussion", "perc", "conga", "bongo"}},
        {"bass", "son de basse", {"bass", "basse", "sub"}},
        {"chords", "stab d’accords", {"chord", "accord", "keys", "piano", "stab"}},
        {"lead", "lead", {"lead", "pluck", "arp"}},
        {"vocal", "vocal", {"vocal", "voix", "vox", "acapella"}},
        {"fx", "FX", {"fx", "riser", "impact", "transition", "sweep"}},
        {"loop", "loop", {"loop", "boucle", "top loop"}},
    }};
    return table;
}

std::string count(std::int64_t value) { return std::to_string(value); }

// Group 1 of the first match as a decimal integer.
std::optional<std::int64_t> readNumber(std::string_view pattern, std::string_view text) {
    auto match = regex::firstMatch(pattern, text, regex::caseInsensitive | regex::dotAll);
    if (!match || !match->group(1)) return std::nullopt;
    const std::string& digits = *match->group(1);
    std::int64_t value = 0;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (error != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

std::vector<Roles> phases(std::int64_t bars, const Roles& roles) {
    return std::vector<Roles>(static_cast<std::size_t>(bars / 8), roles);
}

bool isPositiveMultipleOf8(std::int64_t bars) { return bars > 0 && bars % 8 == 0; }

}  // namespace

bool isCompositeFinishRequest(std::string_view t) {
    return containsAny(t, {"analyse ma session", "analyse mon projet", "analyse ma track"}) &&
           containsAny(t, {"corrige le truc", "corrige le point", "corrige le blocage", "corrige ce qui bloque"}) &&
           containsAny(t, {"cree les locators", "cree les reperes"});
}

bool isIntroRiserRequest(std::string_view t) {
    return containsAny(t, {"make the intro longer", "extend the intro", "rallonge l intro", "rallonge l'intro",
                           "allonge l intro", "allonge l'intro"}) &&
           text::contains(t, "riser") && containsAny(t, {"add", "ajoute", "importe", "place"});
}

bool isSampleImportRequest(std::string_view t) {
    return containsAny(t, {"sample", "pack", "bibliotheque", "library", "user library"}) &&
           containsAny(t, {"importe", "importer", "ajoute", "pioche", "choisis", "trouve", "prends"}) &&
           sampleRole(t).has_value();
}

bool isArrangementRequest(std::string_view t) {
    if (containsAny(t, {"arrangement complet", "arrangement club complet", "arrangement club", "structure le morceau",
                        "structure ma track", "structure de morceau", "structure du morceau",
                        "construis l arrangement", "build an arrangement"})) {
        return true;
    }
    if (containsAny(t, {"transforme ma loop", "transforme mes loops", "transforme les loops", "transforme cette loop",
                        "transforme la loop", "developpe ma loop"})) {
        return true;
    }
    return containsAny(t, {"a partir de ma loop", "a partir de cette loop", "avec ma loop", "depuis ma loop",
                           "a partir de ma boucle", "avec ma boucle", "depuis ma boucle"}) &&
           containsAny(t, {"morceau", "track", "arrangement", "structure"});
}

std::optional<std::string_view> sampleRole(std::string_view t) {
    for (const auto& row : roleTable()) {
        if (row.matches(t)) return row.role;
    }
    return std::nullopt;
}

std::string_view sampleRoleLabel(std::string_view role) {
    for (const auto& row : roleTable()) {
        if (row.role == role) return row.label;
    }
    return "sample";
}

std::optional<DetailedArrangement> detailedArrangement(std::string_view t) {
    if (!text::contains(t, "intro") || !text::contains(t, "premier drop") || !text::contains(t, "outro")) {
        return std::nullopt;
    }
    std::int64_t intro = readNumber(R"(intro[^0-9]{0,40}([0-9]{1,3})\s*(?:mesure|bar))", t).value_or(16);
    std::int64_t firstDropBar = readNumber(R"(premier drop[^0-9]{0,50}(?:mesure|bar)\s*([0-9]{1,3}))", t).value_or(49);
    std::int64_t drop1 = readNumber(R"(premier drop.{0,80}?(?:dure|pendant)\s*([0-9]{1,3}))", t).value_or(24);
    std::int64_t breakBars = readNumber(R"(break[^0-9]{0,30}([0-9]{1,3}))", t).value_or(16);
    std::int64_t build2Bars = readNumber(R"((?:remontee|montee|build)[^0-9]{0,30}([0-9]{1,3}))", t).value_or(8);
    std::int64_t drop2 = readNumber(R"(deuxieme drop[^0-9]{0,40}([0-9]{1,3}))", t).value_or(32);
    std::int64_t outro = readNumber(R"(outro[^0-9]{0,30}([0-9]{1,3}))", t).value_or(16);
    std::int64_t bassEntry = readNumber(R"(basse[^0-9]{0,30}(?:mesure|la)?\s*([0-9]{1,3}))", t).value_or(17);
    std::optional<std::int64_t> scene = readNumber(R"(scene\s*([0-9]{1,3}))", t);

    // Build 1 is always 8 bars, so the groove is what puts the first drop on
    // the asked bar; a groove too short to hold a phrase becomes 8 bars.
    std::int64_t grooveBars = firstDropBar - 1 - intro - 8;
    if (grooveBars < 9) grooveBars = 8;

    for (std::int64_t bars : {intro, grooveBars, drop1, breakBars, build2Bars, drop2, outro}) {
        if (!isPositiveMultipleOf8(bars)) return std::nullopt;
    }

    DetailedArrangement result;
    SafeArrangementSection introSection{"Intro", intro, {}};
    for (std::int64_t k = 0; k < intro / 8; ++k) {
        bool bassPlays = 1 + 8 * k >= bassEntry;
        introSection.phaseRoles.push_back(bassPlays ? Roles{"kick", "hat", "bass"} : Roles{"kick", "hat"});
    }
    result.sections.push_back(std::move(introSection));
    result.sections.push_back({"Groove", grooveBars, phases(grooveBars, groove)});
    result.sections.push_back({"Build 1", 8, phases(8, build1)});
    result.sections.push_back({"Drop 1", drop1, phases(drop1, all())});
    result.sections.push_back({"Break", breakBars, phases(breakBars, breakdown)});
    result.sections.push_back({"Build 2", build2Bars, phases(build2Bars, build2)});
    result.sections.push_back({"Drop 2", drop2, phases(drop2, all())});
    SafeArrangementSection outroSection{"Outro", outro, phases(outro, outroB)};
    outroSection.phaseRoles.front() = outroA;
    result.sections.push_back(std::move(outroSection));

    std::int64_t shownScene = 1;
    if (scene) {
        result.sourceSceneIndex = std::max<std::int64_t>(*scene - 1, 0);
        shownScene = *result.sourceSceneIndex + 1;
    }
    result.totalBars = intro + grooveBars + 8 + drop1 + breakBars + build2Bars + drop2 + outro;
    result.intent = "Respecter l’arrangement personnalisé demandé, viser environ 5 min 30, préserver tous les clips "
                    "sources et utiliser la scène " +
                    count(shownScene) + " comme SOURCE LOOP.";
    result.detail = "Intro " + count(intro) + " · basse mesure " + count(bassEntry) + " · Groove " + count(grooveBars) +
                    " · Drop 1 mesure " + count(firstDropBar) + " pendant " + count(drop1) + " · Break " +
                    count(breakBars) + " sans percussions · Build 2 " + count(build2Bars) + " avec riser/FX · Drop 2 " +
                    count(drop2) + " · Outro " + count(outro) + " · total " + count(result.totalBars) +
                    " mesures · cible 5 min 30 · sources protégées.";
    return result;
}

std::vector<SafeArrangementSection> longIntroSections() {
    const Roles introStart = {"kick", "hat"};
    const Roles introMiddle = {"kick", "clap", "hat", "percussion", "drums"};
    const Roles introEnd = {"kick", "clap", "hat", "percussion", "drums", "bass"};
    const Roles grooveEnd = {"kick", "clap", "hat", "percussion", "drums", "bass", "harmony", "music"};
    return {
        {"Intro", 24, {introStart, introMiddle, introEnd}},
        {"Groove", 16, {introEnd, grooveEnd}},
        {"Build 1", 8, {build}},
        {"Drop 1", 24, {all(), allWithoutVocal(), all()}},
        {"Break", 16, {breakdown, build2}},
        {"Build 2", 8, {build}},
        {"Drop 2", 24, {all(), allWithoutVocal(), all()}},
        {"Outro", 16, {outroA, outroB}},
    };
}

std::string sampleQuery(std::string_view trimmedPrompt) { return text::graphemePrefix(trimmedPrompt, 300); }

SafeActionPlan compositePlan(std::int64_t revision) {
    std::vector<SafePlanAction> actions;
    actions.push_back(localAction(SafeActionCommand::analyze, "Diagnostiquer le blocage principal",
                                  "Analyse locale en lecture seule avant toute modification.", readMode, false));
    actions.push_back(localAction(SafeActionCommand::buildArrangement, "Corriger la structure et créer les repères",
                                  "Arrangement club complet par duplication puis soustraction · sources protégées · "
                                  "locators créés avec les sections.",
                                  writeMode, true));
    actions.push_back(localAction(SafeActionCommand::analyze, "Contrôler la nouvelle structure",
                                  "Relire les sections, les pistes conservées et l’absence de phase vide après "
                                  "exécution.",
                                  readMode, false));
    return localPlan("Diagnostiquer puis structurer la session",
                     "Lire la session, corriger le blocage structurel principal avec un arrangement réversible, créer "
                     "les repères Intro, Groove, Build, Drop, Break, Drop 2 et Outro, puis contrôler le résultat.",
                     revision, std::move(actions));
}

SafeActionPlan introRiserPlan(std::string_view trimmedPrompt, std::int64_t revision) {
    std::vector<SafePlanAction> actions;
    SafePlanAction arrangement = localAction(
        SafeActionCommand::buildArrangement, "Rallonger l’intro à 24 mesures",
        "Intro 24 · Groove 16 · Build 1 8 · Drop 1 24 · Break 16 · Build 2 8 · Drop 2 24 · Outro 16 · sources "
        "protégées.",
        writeMode, true);
    arrangement.arrangementSections = longIntroSections();
    actions.push_back(std::move(arrangement));

    SafePlanAction riser = localAction(SafeActionCommand::importSample, "Importer un riser avant le Drop 1",
                                       "Recherche locale d’un riser FX puis import au début du Build 1, huit mesures "
                                       "avant le premier drop.",
                                       writeMode, true);
    riser.sampleQuery = sampleQuery(trimmedPrompt);
    riser.sampleRole = "fx";
    riser.arrangementRelativeStart = (24 + 16) * 4.0;  // Build 1 starts after the intro and the groove
    actions.push_back(std::move(riser));

    return localPlan("Rallonger l’intro et préparer le premier drop",
                     "Ajouter 8 mesures à l’intro, reconstruire la structure sans écraser les sources, puis importer "
                     "un riser FX sur les 8 mesures précédant le premier drop.",
                     revision, std::move(actions));
}

SafeActionPlan samplePlan(std::string_view normalized, std::string_view trimmedPrompt, double currentTime,
                          std::int64_t revision) {
    std::string_view role = sampleRole(normalized).value_or("loop");
    std::string label(sampleRoleLabel(role));
    SafePlanAction import = localAction(SafeActionCommand::importSample, "Chercher et importer le meilleur " + label,
                                        "Recherche locale dans les packs disponibles · nouvelle piste audio à la "
                                        "position actuelle · import entièrement annulable.",
                                        writeMode, true);
    import.startTime = currentTime > 0 ? currentTime : 0.0;
    import.sampleQuery = sampleQuery(trimmedPrompt);
    import.sampleRole = std::string(role);
    std::vector<SafePlanAction> actions;
    actions.push_back(std::move(import));
    return localPlan("Importer un sample de " + label,
                     "Chercher localement dans les bibliothèques Ableton indexées, choisir le résultat le plus proche "
                     "de la demande et l’ajouter sur une nouvelle piste audio sans modifier les pistes existantes.",
                     revision, std::move(actions));
}

SafeActionPlan arrangementPlan(std::string_view normalized, std::int64_t revision) {
    std::vector<SafePlanAction> actions;
    if (auto custom = detailedArrangement(normalized)) {
        SafePlanAction arrangement =
            localAction(SafeActionCommand::buildArrangement,
                        "Construire l’arrangement personnalisé de " + count(custom->totalBars) + " mesures",
                        custom->detail, writeMode, true);
        arrangement.arrangementSections = std::move(custom->sections);
        arrangement.sourceSceneIndex = custom->sourceSceneIndex;
        actions.push_back(std::move(arrangement));
        return localPlan("Transformer les clips en arrangement club", std::move(custom->intent), revision,
                         std::move(actions));
    }
    // No sections: the bridge builds its own club template, whose section
    // lengths the detail names.
    actions.push_back(localAction(SafeActionCommand::buildArrangement, "Construire un arrangement DJ-ready de 128 mesures",
                                  "Intro 16 · Groove 16 · Build 1 8 · Drop 1 24 · Break 16 · Build 2 8 · Drop 2 24 · "
                                  "Outro 16. Total : 128 mesures, environ 4 minutes à 128 BPM, sans phase entièrement "
                                  "vide.",
                                  writeMode, true));
    return localPlan("Transformer les clips en arrangement club",
                     "Construire une première version complète d’environ quatre minutes à partir de la SOURCE LOOP "
                     "active, sans l’écraser ni allonger artificiellement le projet.",
                     revision, std::move(actions));
}

SafeActionPlan organisationPlan(bool groupsRequested, std::int64_t revision) {
    std::string intent =
        "Identifier et renommer les pistes d’après leurs clips, devices et notes MIDI, puis analyser la session avec "
        "ces rôles explicites.";
    if (groupsRequested) {
        intent += " Le plan ne crée pas de groupes et ne modifie ni l’ordre ni le routage des pistes.";
    }
    std::vector<SafePlanAction> actions;
    actions.push_back(localAction(SafeActionCommand::organize, "Identifier et renommer les pistes",
                                  "Déduire un rôle depuis les clips, devices et notes MIDI, puis appliquer une couleur "
                                  "vive à la piste et à tous ses clips. Tout le lot est annulable.",
                                  writeMode, true));
    actions.push_back(localAction(SafeActionCommand::analyze, "Analyser la préparation au mix",
                                  "Relire la structure, les rôles renommés et les niveaux instantanés après "
                                  "organisation.",
                                  readMode, false));
    return localPlan("Préparer la session pour le mix", std::move(intent), revision, std::move(actions));
}

}  // namespace vantorel::SafeActionPlanner
