// Connection, context polls, project identity, onboarding state and set-up
// status of the controller.
#include "agent/agent_connector.h"
#include "app/app_delegate.h"
#include "bridge/readable.h"
#include "common/json.h"
#include "common/text.h"

#include <algorithm>
#include <cmath>
#include <unordered_map>

namespace vantorel {

namespace {

// Track names compared without case. Identity scores every track of every
// indexed set at each poll; nearly all names are ASCII, where lower-casing is
// byte arithmetic, so ICU is left for the others.
void foldName(std::string_view name, std::string& folded) {
    if (std::any_of(name.begin(), name.end(), [](char c) { return static_cast<unsigned char>(c) >= 0x80; })) {
        folded = text::lower(name);
        return;
    }
    folded.assign(name);
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
}

std::optional<std::int64_t> revisionOf(const Json& session) {
    const Json* value = json::member(session, "revision");
    if (!value) return std::nullopt;
    auto integer = json::asInteger(*value);
    if (!integer) return std::nullopt;
    return *integer;
}

}  // namespace

// ---- Connecting --------------------------------------------------------------

void AppDelegate::connectBridge() {
    ++connectionAttempt;
    ++epoch_;
    pollTimer_.cancel();
    bridge.reset();
    currentSnapshot.reset();
    currentContext.reset();
    lastContextUpdatedAt.reset();
    latestAudioMeasurement.reset();
    clearPendingPlan();
    sessionRequestInFlight = false;

    const std::uint64_t attempt = connectionAttempt;
    offLoop<std::shared_ptr<const BridgeClient>>(
        Lane::quick,
        [file = settings_.bridgeConfiguration] {
            auto client = std::make_shared<const BridgeClient>(file);
            client->validateCompatibility();
            return std::shared_ptr<const BridgeClient>(std::move(client));
        },
        [this, attempt](Outcome<std::shared_ptr<const BridgeClient>> outcome) {
            if (attempt != connectionAttempt) return;  // a newer attempt owns the connection
            if (!outcome.ok()) {
                bridge.reset();
                sendConnectionFailure(readable(outcome.error()));
                scheduleRetry();
                return;
            }
            bridge = outcome.get();
            if (!sessionRequestInFlight) startPoll();
            pollTimer_ = loop_.every(
                settings_.intervals.poll,
                [this] {
                    if (!sessionRequestInFlight && bridge) startPoll();
                },
                liveness_.watch());
        });
    sendSetupStatus();
}

void AppDelegate::scheduleRetry() {
    pollTimer_ = loop_.after(settings_.intervals.retry, [this] { connectBridge(); }, liveness_.watch());
}

void AppDelegate::pollNow() {
    if (bridge && !sessionRequestInFlight) startPoll();
}

// ---- Polling -------------------------------------------------------------------

void AppDelegate::startPoll() {
    sessionRequestInFlight = true;
    const std::uint64_t attempt = connectionAttempt;
    bridgeRequest(bridge, "/v1/context", "GET", std::nullopt, settings_.intervals.pollTimeoutSeconds,
                  [this, attempt](Outcome<Json> outcome) {
                      // A poll of an older attempt: the mirror it describes
                      // was cleared with that attempt, and must stay so.
                      if (attempt != connectionAttempt) return;
                      sessionRequestInFlight = false;
                      if (!outcome.ok()) {
                          sendConnectionFailure(readable(outcome.error()));
                          return;
                      }
                      acceptPoll(std::move(outcome.get()));
                  });
}

void AppDelegate::acceptPoll(Json reply) {
    if (!reply.is_object()) return;
    auto sessionIt = reply.find("session");
    if (sessionIt == reply.end() || !sessionIt->is_object()) return;
    auto revision = revisionOf(*sessionIt);
    if (!revision) return;

    std::optional<std::string> project = json::text(*sessionIt, "project");
    // The last name seen survives failed polls: a set opened during a hiccup
    // still ends the conversation of the one before.
    if (lastSeenProject && project != lastSeenProject) resetConversationSession("projectChanged");
    lastSeenProject = project;

    currentRevision = *revision;
    currentSnapshot = *sessionIt;
    lastContextUpdatedAt = now();

    Json context = std::move(reply);
    // A measurement belongs to the set it was taken in.
    std::optional<Json> measurement;
    if (latestAudioMeasurement && json::text(*latestAudioMeasurement, "project") == project)
        measurement = latestAudioMeasurement;
    if (measurement) context["audioMeasurement"] = *measurement;

    const std::string name = project.value_or(std::string(unsavedSetName));
    const Json* analysis = json::object(context, "projectAnalysis");
    if (analysis) {
        VantorelLifecycleStore& store = isUnsavedSet() ? *unsavedLifecycle_ : lifecycleStore;
        currentLifecycle = store.update(name, *analysis, measurement);
        try {
            Json lifecycle = currentLifecycle->dictionary();
            context["lifecycle"] = lifecycle;
            send("lifecycle", std::move(lifecycle));
        } catch (const std::exception&) {
        }
    }

    Json onboarding = onboardingDictionary(name);
    context["onboarding"] = onboarding;
    if (onboarding.is_object() && onboarding.contains("profile")) {
        context["producerProfile"] = onboarding["profile"];
    } else {
        context.erase("producerProfile");
    }

    analysis = json::object(context, "projectAnalysis");
    if (analysis) send("projectIdentity", resolveProjectIdentity(*currentSnapshot, *analysis));

    const Json* ageValue = json::member(context, "contextAgeMs");
    std::optional<long long> age = ageValue ? json::asInteger(*ageValue) : std::nullopt;
    Json captured = context.contains("capturedAtUnix") ? context["capturedAtUnix"] : Json();

    // The previous mirror is a tree of tens of thousands of nodes on a large
    // set: freeing it took the loop milliseconds per poll, so the quick lane
    // lets it go instead (a question still holding it frees it last).
    if (currentContext) {
        loop_.background<bool>(
            Lane::quick,
            [previous = std::move(currentContext)]() mutable {
                previous.reset();
                return true;
            },
            [](Outcome<bool>) {});
    }
    currentContext = std::make_shared<Json>(std::move(context));
    send("session", *currentSnapshot);
    send("onboardingState", std::move(onboarding));
    send("contextStatus", Json{{"revision", currentRevision}, {"ageMs", age.value_or(0)}, {"capturedAtUnix", captured}});
}

void AppDelegate::sendConnectionFailure(const std::string& message) {
    currentRevision = 0;
    currentSnapshot.reset();
    currentContext.reset();
    currentLifecycle.reset();
    lastContextUpdatedAt.reset();
    clearPendingPlan();
    Json invalidation{{"message", message}};
    Json connection{{"connected", false},
                    {"message", message},
                    {"bridgeInstalled", settings_.installer.status().readyForAbletonSetup()},
                    {"abletonRunning", isAbletonRunning()}};
    lastInvalidationEvent = invalidation;
    lastConnectionEvent = connection;
    send("contextInvalidated", std::move(invalidation));
    send("connection", std::move(connection));
}

void AppDelegate::sendSetupStatus(std::optional<std::string> message, bool error) {
    BridgeInstallationStatus status = settings_.installer.status();
    LoginItemStatus login = shell_.loginItem();
    auto selected = runner_.selectedAgent();
    Json value{{"bridgeBundled", status.bridgeBundled},
               {"bridgeInstalled", status.bridgeInstalled},
               {"configurationInstalled", status.configurationInstalled},
               {"readyForAbletonSetup", status.readyForAbletonSetup()},
               {"destinationPath", status.destinationPath},
               {"launchAtLogin", login.enabled},
               {"launchAtLoginRequiresApproval", login.requiresApproval},
               {"abletonRunning", isAbletonRunning()},
               {"codexAvailable", settings_.agents.isAvailable(VantorelAgent::codex)},
               {"claudeAvailable", settings_.agents.isAvailable(VantorelAgent::claude)},
               {"preferredAgent", selected ? Json(std::string(rawName(*selected))) : Json()},
               {"codexModel", std::string(EmbeddedAgentClient::kCodexModel)},
               {"error", error}};
    if (message) value["message"] = *message;
    send("setupStatus", std::move(value));
}

bool AppDelegate::contextIsFresh() const {
    if (!currentSnapshot || !currentContext || !lastContextUpdatedAt) return false;
    return now() - *lastContextUpdatedAt <= settings_.intervals.freshness;
}

bool AppDelegate::isAbletonRunning() const { return applications_.isAbletonRunning(); }

// ---- Project identity ------------------------------------------------------------

Json AppDelegate::resolveProjectIdentity(const Json& snapshot, const Json&) const {
    return resolveProjectIdentity(snapshot, projectIndex);
}

Json AppDelegate::resolveProjectIdentity(const Json& snapshot, const std::optional<ALSProjectIndex>& index) {
    std::string name = text::trim(json::text(snapshot, "project").value_or(""));
    if (isUnsavedName(name))
        return Json{{"source", "unsaved"}, {"saved", false}, {"message", "Nouveau morceau non enregistré"}};
    Json liveName{{"source", "liveName"}, {"saved", true}, {"name", name}};
    if (!index || index->projects.empty()) return liveName;

    std::string folded, candidate;
    foldName(name, folded);
    const ALSProjectSummary* byName = nullptr;
    int sameName = 0;
    for (const auto& project : index->projects) {
        foldName(project.name, candidate);
        if (candidate == folded) {
            ++sameName;
            byName = &project;
        }
    }
    if (sameName == 1)
        return Json{{"source", "indexedName"}, {"saved", true}, {"name", byName->name}, {"path", byName->path}};

    // Live's distinct folded names, each with the last indexed set that
    // shared it, so that a set naming a track twice counts it once.
    std::unordered_map<std::string, std::size_t> live;
    std::size_t liveCount = 0;
    if (const Json* tracks = json::member(snapshot, "tracks"); tracks && tracks->is_array()) {
        for (const Json& track : *tracks) {
            if (!track.is_object()) continue;
            if (auto trackName = json::text(track, "name")) {
                foldName(*trackName, candidate);
                live.emplace(candidate, live.size());
                ++liveCount;
            }
        }
    }
    std::vector<std::size_t> sharedBy(live.size(), index->projects.size());
    const double liveTempo = json::number(snapshot, "tempo", 0);

    struct Scored {
        const ALSProjectSummary* project;
        double score;
    };
    std::vector<Scored> scored;
    scored.reserve(index->projects.size());
    for (std::size_t position = 0; position < index->projects.size(); ++position) {
        const ALSProjectSummary& project = index->projects[position];
        std::size_t shared = 0;
        for (const auto& track : project.tracks) {
            foldName(track.name, candidate);
            auto found = live.find(candidate);
            if (found == live.end() || sharedBy[found->second] == position) continue;
            sharedBy[found->second] = position;
            ++shared;
        }
        double overlap = live.empty() ? 0 : static_cast<double>(shared) / static_cast<double>(live.size()) * 0.75;
        double countGap = std::min(
            std::abs(static_cast<double>(project.tracks.size()) - static_cast<double>(liveCount)) * 0.125, 1.0);
        double tempoGap = project.tempo ? std::min(std::abs(*project.tempo - liveTempo) * 0.125, 1.0) : 0.5;
        scored.push_back({&project, overlap + (1 - countGap) * 0.15 + (1 - tempoGap) * 0.1});
    }
    std::stable_sort(scored.begin(), scored.end(), [](const Scored& a, const Scored& b) { return a.score > b.score; });
    const Scored& best = scored.front();
    // Scores are sums of binary fractions: compare with a hair of slack so
    // that a margin of exactly 0.08 or a score of exactly 0.72 counts.
    constexpr double slack = 1e-9;
    bool clear = scored.size() == 1 || best.score - scored[1].score >= 0.08 - slack;
    if (best.score >= 0.72 - slack && clear)
        return Json{{"source", "sessionFingerprint"},
                    {"saved", true},
                    {"name", best.project->name},
                    {"path", best.project->path},
                    {"confidence", best.score}};
    return liveName;
}

// ---- Onboarding ------------------------------------------------------------------

Json AppDelegate::onboardingDictionary(const std::string& project) const {
    return onboardingStore.dictionary(project, currentStage());
}

void AppDelegate::refreshOnboardingContext() {
    auto project = snapshotProject();
    if (!project) return;
    Json dictionary = onboardingDictionary(*project);
    Json* context = editableContext();
    if (!context) return;
    if (dictionary.is_object() && !dictionary.empty() && dictionary.contains("profile")) {
        (*context)["producerProfile"] = dictionary["profile"];
    } else {
        context->erase("producerProfile");
    }
    (*context)["onboarding"] = std::move(dictionary);
}

void AppDelegate::sendOnboardingState() {
    auto project = snapshotProject();
    if (!project) return;
    send("onboardingState", onboardingDictionary(*project));
}

// ---- Live starting and quitting ------------------------------------------------------

void AppDelegate::abletonLaunched() {
    resetConversationSession("abletonRestarted");
    shell_.presentPanelForLive();
    sendSetupStatus();
    relaunchTimer_ = loop_.after(settings_.intervals.afterLaunch, [this] { connectBridge(); }, liveness_.watch());
}

void AppDelegate::abletonTerminated() {
    ++connectionAttempt;
    ++epoch_;
    pollTimer_.cancel();
    relaunchTimer_.cancel();
    bridge.reset();
    currentSnapshot.reset();
    currentContext.reset();
    currentLifecycle.reset();
    lastContextUpdatedAt.reset();
    sessionRequestInFlight = false;
    resetConversationSession("abletonClosed");
    sendConnectionFailure("Ableton est fermé. Ouvre un projet pour démarrer une nouvelle session.");
}

void AppDelegate::applicationActivated(ActivatedApplication application) {
    switch (application) {
        case ActivatedApplication::ableton: shell_.showPanelUnlessHidden(); break;
        case ActivatedApplication::self: break;
        case ActivatedApplication::other: shell_.hidePanel(); break;
    }
}

// ---- Resetting --------------------------------------------------------------------------

void AppDelegate::resetConversationSession(const std::string& reason) {
    ++epoch_;
    chatHistory.clear();
    embeddedAgentSessionId.reset();
    embeddedAgentSessionAgent.reset();
    latestAudioMeasurement.reset();
    clearPendingPlan();
    pendingActionClarification.reset();
    lastCompletedMidiPrompt.reset();
    lastDetectedKey.reset();
    // The history the bridge undoes from is gone with the set (or with Live):
    // a spoken undo must not count on it.
    recentAcceptedActions.clear();
    lastAcceptedActionTypes.clear();
    unsavedLifecycle_ = std::make_unique<VantorelLifecycleStore>(VantorelLifecycleStore::InMemory{});
    onboardingStore.forgetMemoryOnly();
    // planExecutionInFlight stays: only the running plan may clear it, or an
    // undo or a second plan would interleave with its remaining steps.
    preservePanelVisibilityUntilResponse = false;
    send("sessionReset", Json{{"reason", reason}});
}

}  // namespace vantorel
