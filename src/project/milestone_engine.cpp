#include "project/milestone_engine.h"

#include "common/format.h"
#include "common/json.h"
#include "common/regex.h"
#include "common/text.h"
#include "project/json_fields.h"

#include <algorithm>
#include <cmath>

namespace vantorel {

namespace {

using Json = nlohmann::json;
using project::formatDate;

// Thresholds of the criteria. Changing any of them means a new criteria
// version, so that stored history can be told apart.
constexpr int kGrooveActiveTracks = 4;
constexpr double kGrooveLoopBars = 8;
constexpr double kArrangementBars = 64;
constexpr long long kArrangementSections = 4;
constexpr long long kTransitionSections = 2;
constexpr double kHeadroomDb = 6.0;
constexpr double kTruePeakCeilingDbTP = -1.0;
constexpr double kMinimumBeatsPerBar = 0.25;
constexpr long long kMeterMinimumSamples = 2;
constexpr std::string_view kRenderedScope = "renderedMasterResampling";
constexpr std::string_view kGenericNamePattern = "^(audio|midi|track|piste|group|groupe|return|retour)[ _-]*\\d*$";

// The value readers of the engine: every input is decoded JSON read leniently.
double number(const Json& object, std::string_view key, double fallback) { return json::number(object, key, fallback); }
long long integer(const Json& object, std::string_view key) { return json::integer(object, key, 0); }
bool flag(const Json& object, std::string_view key) { return json::flag(object, key, false); }
std::string text(const Json& object, std::string_view key) { return json::text(object, key, ""); }
const Json& objectOrEmpty(const Json& object, std::string_view key) {
    static const Json empty = Json::object();
    const Json* found = json::object(object, key);
    return found ? *found : empty;
}

bool containsAny(std::string_view haystack, std::initializer_list<std::string_view> needles) {
    return std::any_of(needles.begin(), needles.end(), [&](std::string_view n) { return text::contains(haystack, n); });
}
bool equalsAny(std::string_view value, std::initializer_list<std::string_view> options) {
    return std::find(options.begin(), options.end(), value) != options.end();
}

std::string count(std::size_t n) { return std::to_string(n); }

struct Track {
    const Json* json;
    bool active;
    bool hasContent;
    std::string name;  // lower-cased
    std::string role;  // lower-cased
};

bool hasMeterWindow(const Json* window) {
    if (window == nullptr || !window->is_object()) return false;
    return integer(*window, "samples") >= kMeterMinimumSamples && number(*window, "observedSeconds", 0) > 0;
}

struct Facts {
    std::vector<Track> tracks;
    std::vector<const Track*> active;
    std::size_t contentTracks = 0;
    std::size_t clipDetailCount = 0;
    double longestLoopBars = 0;
    bool kick = false, bass = false, percussion = false;
    std::size_t transitionTracks = 0, automationTracks = 0;
    std::size_t unprocessedTracks = 0, unmeteredTracks = 0;
    bool masterMetered = false;
    double masterMaximum = 0;
    std::optional<double> headroom;
    bool rendered = false;
    std::optional<double> truePeak;
    std::size_t genericTracks = 0, emptyOrMutedTracks = 0;
    double arrangementLengthBars = 0;
    long long sections = 0;
};

Facts derive(const Json& analysis, const std::optional<Json>& measurement) {
    Facts f;
    double beatsPerBar = std::max(number(analysis, "beatsPerBar", 4), kMinimumBeatsPerBar);
    f.arrangementLengthBars = number(analysis, "arrangementLengthBars", 0);
    f.sections = integer(analysis, "sectionCountFromLocators");

    for (const Json* track : json::objects(analysis, "tracks")) {
        f.tracks.push_back({track, flag(*track, "active"), flag(*track, "hasContent"), text::lower(text(*track, "name")),
                            text::lower(text(*track, "inferredRole"))});
    }
    for (const Track& t : f.tracks) {
        if (t.active) f.active.push_back(&t);
        if (t.hasContent || integer(*t.json, "clips") >= 1) ++f.contentTracks;
        for (const Json* clip : json::objects(*t.json, "clipDetails")) {
            ++f.clipDetailCount;
            f.longestLoopBars = std::max(f.longestLoopBars, number(*clip, "lengthBeats", 0) / beatsPerBar);
        }
        std::string trimmedName = text::lower(text::trim(text(*t.json, "name")));
        if (regex::contains(kGenericNamePattern, trimmedName)) ++f.genericTracks;
        if (!t.hasContent || flag(*t.json, "muted")) ++f.emptyOrMutedTracks;
    }
    for (const Track* t : f.active) {
        const std::string& name = t->name;
        const std::string& role = t->role;
        f.kick = f.kick || containsAny(name, {"kick", "bd", "grosse caisse"}) || role == "kick";
        f.bass = f.bass || containsAny(name, {"bass", "sub", "basse"}) || role == "bass";
        f.percussion = f.percussion ||
                       containsAny(name, {"drum", "perc", "hat", "clap", "snare", "rim", "shaker", "tom"}) ||
                       equalsAny(role, {"drums", "percussion", "hat", "clap", "snare"});
        if (containsAny(name, {"fx", "riser", "impact", "sweep", "transition", "uplifter", "downlifter"})) {
            ++f.transitionTracks;
        }
        if (flag(*t->json, "automationObserved")) ++f.automationTracks;
        if (json::objects(*t->json, "devices").empty()) ++f.unprocessedTracks;
        if (!hasMeterWindow(json::member(*t->json, "meterWindow"))) ++f.unmeteredTracks;
    }

    const Json& master = objectOrEmpty(analysis, "masterTrack");
    const Json* masterWindow = json::member(master, "meterWindow");
    f.masterMetered = hasMeterWindow(masterWindow);
    f.masterMaximum = masterWindow ? number(*masterWindow, "maximum", 0) : 0;
    // Adding 0.0 turns the -0.0 of a full-scale peak into 0.0.
    if (f.masterMetered && f.masterMaximum > 0) f.headroom = -20.0 * std::log10(f.masterMaximum) + 0.0;

    if (measurement && measurement->is_object()) {
        f.rendered = text(*measurement, "scope") == kRenderedScope;
        f.truePeak = json::number(*measurement, "truePeakDbTP");
    }
    return f;
}

struct Criterion {
    std::vector<std::string> evidence;
    std::vector<std::string> missing;
    bool met() const { return missing.empty(); }
};

Criterion idea(const Facts& f) {
    if (f.contentTracks == 0) return {{}, {"Ajouter au moins un clip avec du contenu réel"}};
    return {{count(f.clipDetailCount) + " clip(s) avec du contenu détecté(s)"}, {}};
}

Criterion groove(const Facts& f) {
    Criterion c;
    std::size_t active = f.active.size();
    if (active < kGrooveActiveTracks) {
        c.missing.push_back(count(kGrooveActiveTracks - active) + " piste(s) active(s) supplémentaire(s)");
    }
    if (f.longestLoopBars < kGrooveLoopBars) c.missing.push_back("Une boucle cohérente d’au moins 8 mesures");
    if (!f.kick) c.missing.push_back("Un élément rythmique grave identifiable");
    if (!f.bass) c.missing.push_back("Une piste de basse identifiable");
    if (!f.percussion) c.missing.push_back("Une piste de percussion identifiable");
    c.evidence.push_back(count(active) + " piste(s) active(s)");
    c.evidence.push_back("Boucle la plus longue : " + format::oneDecimal(f.longestLoopBars) + " mesures");
    c.evidence.push_back(std::string("Kick ") + (f.kick ? "détecté" : "non détecté") + " · basse " +
                         (f.bass ? "détectée" : "non détectée") + " · percussion " +
                         (f.percussion ? "détectée" : "non détectée"));
    return c;
}

Criterion arrangement(const Facts& f) {
    Criterion c;
    if (f.arrangementLengthBars < kArrangementBars) {
        c.missing.push_back("Atteindre 64 mesures d’arrangement — " + format::oneDecimal(f.arrangementLengthBars) +
                            " détectées");
    }
    if (f.sections < kArrangementSections) {
        c.missing.push_back("Définir au moins 4 sections vérifiables — " + std::to_string(f.sections) +
                            " locator(s) détecté(s)");
    }
    c.evidence.push_back("Arrangement : " + format::oneDecimal(f.arrangementLengthBars) + " mesures");
    c.evidence.push_back(std::to_string(f.sections) + " section(s) issue(s) des locators");
    return c;
}

Criterion transitions(const Facts& f) {
    Criterion c;
    if (f.sections < kTransitionSections) {
        c.missing.push_back("Créer des frontières de sections vérifiables avec des locators");
        c.missing.push_back("Ajouter un FX, riser ou une automation à une frontière");
    } else if (f.transitionTracks + f.automationTracks == 0) {
        c.missing.push_back("Ajouter un FX, riser ou une automation détectable aux frontières");
    }
    c.evidence.push_back(count(f.transitionTracks) + " piste(s) de transition nommée(s)");
    c.evidence.push_back("Automation observée sur " + count(f.automationTracks) + " piste(s)");
    return c;
}

Criterion mix(const Facts& f) {
    Criterion c;
    std::size_t active = f.active.size();
    if (f.unprocessedTracks > 0) {
        c.missing.push_back("Ajouter un traitement sur " + count(f.unprocessedTracks) + " piste(s) active(s)");
    }
    if (f.unmeteredTracks > 0) c.missing.push_back("Lire le morceau pour mesurer " + count(f.unmeteredTracks) + " piste(s)");
    if (!f.masterMetered) {
        c.missing.push_back("Lire le morceau pour mesurer le master");
    } else if (f.masterMaximum >= 1.0) {
        c.missing.push_back("Réduire le niveau : le master a atteint le maximum mesurable");
    }
    c.evidence.push_back(count(active - f.unprocessedTracks) + "/" + count(active) + " piste(s) active(s) traitée(s)");
    c.evidence.push_back(count(active - f.unmeteredTracks) + "/" + count(active) + " piste(s) mesurée(s)");
    return c;
}

Criterion premaster(const Facts& f) {
    Criterion c;
    if (!f.headroom) {
        c.missing.push_back("Mesurer le master pendant la lecture");
    } else if (*f.headroom < kHeadroomDb) {
        c.missing.push_back("Atteindre 6 dB de headroom — " + format::oneDecimal(*f.headroom) + " dB mesuré(s)");
    }
    if (!f.rendered) c.missing.push_back("Écouter le master rendu pour valider le signal final");
    if (!f.truePeak) {
        c.missing.push_back("Mesurer la crête vraie en dBTP — demander « écoute le master »");
    } else if (*f.truePeak > kTruePeakCeilingDbTP) {
        c.missing.push_back("Ramener la crête vraie sous -1 dBTP — " + format::oneDecimal(*f.truePeak) + " dBTP");
    }
    if (f.genericTracks > 0) c.missing.push_back("Renommer " + count(f.genericTracks) + " piste(s) au nom générique");
    if (f.emptyOrMutedTracks > 0) {
        c.missing.push_back("Vérifier ou retirer " + count(f.emptyOrMutedTracks) + " piste(s) vide(s) ou muette(s)");
    }
    c.evidence.push_back(f.headroom ? "Headroom mesuré : " + format::oneDecimal(*f.headroom) + " dB"
                                    : "Headroom non mesuré");
    c.evidence.push_back(f.truePeak ? "Crête vraie : " + format::oneDecimal(*f.truePeak) + " dBTP"
                                    : "Crête vraie non mesurée");
    c.evidence.push_back(count(f.genericTracks) + " nom(s) générique(s) · " + count(f.emptyOrMutedTracks) +
                         " piste(s) à vérifier");
    return c;
}

Json assessmentJson(const VantorelMilestoneAssessment& a) {
    Json out = {{"id", a.id},
                {"title", a.title},
                {"state", toString(a.state)},
                {"evidence", a.evidence},
                {"missing", a.missing}};
    if (a.achievedAt) out["achievedAt"] = formatDate(*a.achievedAt);
    return out;
}

}  // namespace

std::string_view toString(VantorelMilestoneState state) {
    switch (state) {
        case VantorelMilestoneState::reached: return "reached";
        case VantorelMilestoneState::inProgress: return "inProgress";
        case VantorelMilestoneState::notStarted: return "notStarted";
    }
    return "notStarted";
}

std::optional<VantorelMilestoneState> milestoneStateFromString(std::string_view text) {
    if (text == "reached") return VantorelMilestoneState::reached;
    if (text == "inProgress") return VantorelMilestoneState::inProgress;
    if (text == "notStarted") return VantorelMilestoneState::notStarted;
    return std::nullopt;
}

Json VantorelMilestoneEvent::toJson() const {
    return {{"milestoneID", milestoneID},
            {"kind", kind},
            {"timestamp", formatDate(timestamp)},
            {"criteriaVersion", criteriaVersion}};
}

VantorelMilestoneEvent VantorelMilestoneEvent::fromJson(const Json& value) {
    using namespace project;
    VantorelMilestoneEvent event;
    event.milestoneID = static_cast<int>(requireInteger(value, "milestoneID"));
    event.kind = requireText(value, "kind");
    event.timestamp = requireDate(value, "timestamp");
    event.criteriaVersion = requireText(value, "criteriaVersion");
    return event;
}

Json VantorelLifecycleSnapshot::dictionary() const {
    Json milestonesJson = Json::array();
    for (const auto& m : milestones) milestonesJson.push_back(assessmentJson(m));
    Json timelineJson = Json::array();
    for (const auto& e : timeline) timelineJson.push_back(e.toJson());
    Json out = {{"project", project},
                {"criteriaVersion", criteriaVersion},
                {"currentMilestone", currentMilestone},
                {"updatedAt", formatDate(updatedAt)},
                {"milestones", std::move(milestonesJson)},
                {"timeline", std::move(timelineJson)}};
    return out;
}

VantorelLifecycleSnapshot VantorelLifecycleSnapshot::fromJson(const Json& value) {
    using namespace project;
    VantorelLifecycleSnapshot s;
    s.project = requireText(value, "project");
    s.criteriaVersion = requireText(value, "criteriaVersion");
    s.currentMilestone = static_cast<int>(requireInteger(value, "currentMilestone"));
    s.updatedAt = requireDate(value, "updatedAt");
    for (const Json& m : requireArray(value, "milestones")) {
        VantorelMilestoneAssessment a;
        a.id = static_cast<int>(requireInteger(m, "id"));
        a.title = requireText(m, "title");
        auto state = milestoneStateFromString(requireText(m, "state"));
        if (!state) throw DecodeFailure("state: unknown value");
        a.state = *state;
        a.evidence = requireTexts(m, "evidence");
        a.missing = requireTexts(m, "missing");
        a.achievedAt = optionalDate(m, "achievedAt");
        s.milestones.push_back(std::move(a));
    }
    for (const Json& e : requireArray(value, "timeline")) s.timeline.push_back(VantorelMilestoneEvent::fromJson(e));
    return s;
}

namespace VantorelMilestoneEngine {

const std::vector<std::string>& stageTitles() {
    static const std::vector<std::string> titles = {"Idée", "Groove", "Arrangement", "Transitions", "Mix", "Pre-master"};
    return titles;
}

VantorelLifecycleSnapshot evaluate(std::string_view project, const Json& analysis,
                                   const std::optional<Json>& audioMeasurement,
                                   const std::map<int, std::chrono::system_clock::time_point>& achievedDates,
                                   const std::vector<VantorelMilestoneEvent>& timeline,
                                   std::chrono::system_clock::time_point now) {
    static const Json emptyObject = Json::object();
    const Json& input = analysis.is_object() ? analysis : emptyObject;
    Facts facts = derive(input, audioMeasurement);
    const Criterion criteria[] = {idea(facts),        groove(facts), arrangement(facts),
                                  transitions(facts), mix(facts),    premaster(facts)};

    int reachedCount = 0;
    while (reachedCount < 6 && criteria[reachedCount].met()) ++reachedCount;

    VantorelLifecycleSnapshot snapshot;
    snapshot.project = std::string(project);
    snapshot.criteriaVersion = std::string(criteriaVersion);
    snapshot.currentMilestone = std::min(reachedCount + 1, 6);
    snapshot.updatedAt = now;
    snapshot.timeline = timeline;
    for (int i = 0; i < 6; ++i) {
        VantorelMilestoneAssessment a;
        a.id = i + 1;
        a.title = stageTitles()[static_cast<std::size_t>(i)];
        a.state = i < reachedCount    ? VantorelMilestoneState::reached
                  : i == reachedCount ? VantorelMilestoneState::inProgress
                                      : VantorelMilestoneState::notStarted;
        a.evidence = criteria[i].evidence;
        a.missing = criteria[i].missing;
        if (auto found = achievedDates.find(i + 1); found != achievedDates.end()) a.achievedAt = found->second;
        snapshot.milestones.push_back(std::move(a));
    }
    return snapshot;
}

}  // namespace VantorelMilestoneEngine

}  // namespace vantorel
