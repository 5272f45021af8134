#include "app/app_delegate.h"

#include "agent/deterministic_answers.h"
#include "common/json.h"
#include "common/text.h"
#include "planning/safe_action_planner.h"

#include <algorithm>
#include <array>

namespace vantorel {

namespace {

constexpr std::size_t maximumMessageBytes = 1 << 20;
constexpr std::size_t chatHistoryLimit = 12;
constexpr std::size_t userTurnLimit = 1600;
constexpr std::size_t assistantTurnLimit = 8000;

// Answers that end the wait the page started with a message that keeps the
// panel in front.
constexpr std::array<std::string_view, 8> answerEvents = {
    "chatResult", "planResult", "planExecutionResult", "planDeclined",
    "undoResult", "onboardingState", "onboardingError", "producerProfileSaved",
};

constexpr std::array<std::string_view, 8> awaitedMessages = {
    "assistantRequest", "executePlan",       "declinePlan",          "undo", "saveProducerProfile",
    "requestOnboardingOrganization", "validateProjectStage", "completeOnboarding",
};

// Messages whose answer is an "onboardingState": only these may end the
// wait with it, not the state every poll sends.
constexpr std::array<std::string_view, 4> onboardingMessages = {
    "saveProducerProfile", "validateProjectStage", "completeOnboarding", "resetOnboarding",
};

template <std::size_t N>
bool among(const std::array<std::string_view, N>& names, std::string_view name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

std::chrono::milliseconds agentTimeLimit(const AppSettings& settings) {
    if (!settings.agentTimeLimitSeconds) return EmbeddedAgentClient::kTimeLimit;
    return std::chrono::milliseconds(static_cast<long long>(*settings.agentTimeLimitSeconds * 1000));
}

std::string sharpsAsHash(std::string key) {
    const std::string sharp = "♯";
    for (auto at = key.find(sharp); at != std::string::npos; at = key.find(sharp, at + 1)) key.replace(at, sharp.size(), "#");
    return key;
}

}  // namespace

AppDelegate::AppDelegate(MainLoop& loop, WebChannel& web, Shell& shell, RunningApplications& applications,
                         AppSettings settings)
    : projectIndexStore(settings.dataFolder),
      lifecycleStore(settings.dataFolder),
      preferenceStore(settings.dataFolder),
      onboardingStore(settings.dataFolder),
      loop_(loop),
      web_(web),
      shell_(shell),
      applications_(applications),
      settings_(std::move(settings)),
      runner_(settings_.agents, agentTimeLimit(settings_)),
      unsavedLifecycle_(std::make_unique<VantorelLifecycleStore>(VantorelLifecycleStore::InMemory{})) {
    StoreWriteQueue queue = [this](StoreWrite write) { writer_.submit(std::move(write)); };
    lifecycleStore.setWriteQueue(queue);
    preferenceStore.setWriteQueue(queue);
    onboardingStore.setWriteQueue(queue);
    // Every unsaved sketch answers to the same name: its onboarding lives as
    // long as the session, like its stages.
    onboardingStore.keepInMemoryOnly("");
    onboardingStore.keepInMemoryOnly(unsavedSetName);
}

AppDelegate::~AppDelegate() = default;

std::string AppDelegate::describe(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const Error& known) {
        return known.description();
    } catch (const std::exception& other) {
        return other.what();
    } catch (...) {
        return "Erreur inattendue.";
    }
}

void AppDelegate::start() {
    projectIndex = projectIndexStore.load();
    auto watch = liveness_.watch();
    applications_.observe(
        [this, watch] {
            if (watch.alive()) abletonLaunched();
        },
        [this, watch] {
            if (watch.alive()) abletonTerminated();
        });
    connectBridge();
    sendSetupStatus();
}

bool AppDelegate::busy() const {
    return workInFlight_ > 0 || planExecutionInFlight || undoInFlight || sessionRequestInFlight;
}

// ---- Page --------------------------------------------------------------------

void AppDelegate::send(std::string_view event, Json value) {
    std::string text;
    try {
        text = json::compact(value);
    } catch (const std::exception&) {
        return;
    }
    sendSerialized(event, text);
}

void AppDelegate::sendSerialized(std::string_view event, std::string_view valueJson) {
    if (preservePanelVisibilityUntilResponse && among(answerEvents, event) &&
        (event != "onboardingState" || answeringOnboarding_)) {
        preservePanelVisibilityUntilResponse = false;
        shell_.keepPanelVisible();
    }
    // The envelope's keys in sorted order, as serialising it whole writes them.
    std::string envelope = R"({"event":)" + json::compact(Json(std::string(event)));
    envelope.reserve(envelope.size() + valueJson.size() + 10);
    envelope += R"(,"value":)";
    envelope += valueJson;
    envelope += '}';
    web_.deliver(envelope);
}

void AppDelegate::receive(std::string_view message) {
    if (message.size() > maximumMessageBytes || !json::nestingWithin(message)) return;
    auto parsed = json::parse(message);
    if (!parsed) return;
    route(*parsed);
}

void AppDelegate::route(const Json& message) {
    if (!message.is_object()) return;
    auto type = json::text(message, "type");
    if (!type) return;
    if (among(awaitedMessages, *type)) {
        preservePanelVisibilityUntilResponse = true;
        shell_.keepPanelVisible();
    }
    struct Answering {
        bool& flag;
        bool previous;
        ~Answering() { flag = previous; }
    } answering{answeringOnboarding_, answeringOnboarding_};
    if (among(onboardingMessages, *type)) answeringOnboarding_ = true;

    const std::string& t = *type;
    if (t == "ready") {
        sendSetupStatus();
        sendProjectIndex();
        sendPreferenceProfile();
        // A page that reloads while Live is away would otherwise show no
        // connection state until Live comes back.
        if (!currentSnapshot) {
            if (lastInvalidationEvent) send("contextInvalidated", *lastInvalidationEvent);
            if (lastConnectionEvent) send("connection", *lastConnectionEvent);
        }
        pollNow();
    } else if (t == "installBridge") {
        installBridge();
    } else if (t == "recheckConnection") {
        bool hadSomething = currentSnapshot.has_value() || pendingPlan.has_value();
        connectBridge();
        // The page's plan card would otherwise wait forever for an answer.
        if (hadSomething) send("contextInvalidated", Json{{"message", "Reconnexion à Ableton en cours…"}});
    } else if (t == "connectAgent") {
        auto raw = json::text(message, "agent");
        if (!raw) return;
        auto agent = agentFromRawName(*raw);
        if (agent) connectAgent(*agent);
    } else if (t == "setLaunchAtLogin") {
        auto enabled = json::flag(message, "enabled");
        if (enabled) setLaunchAtLogin(*enabled);
    } else if (t == "openLoginSettings") {
        shell_.openLoginSettings();
    } else if (t == "minimize") {
        preservePanelVisibilityUntilResponse = false;
        shell_.minimize();
    } else if (t == "compact") {
        auto compact = json::flag(message, "compact");
        if (compact) shell_.setCompact(*compact);
    } else if (t == "findKey") {
        findKey(std::nullopt);
    } else if (t == "listenSelectedClip") {
        listenSelectedClip();
    } else if (t == "chooseProjectFolder") {
        chooseProjectFolder();
    } else if (t == "rescanProjects") {
        if (projectIndex) scanProjectFolder(projectIndex->folderPath);
    } else if (t == "clearProjectIndex") {
        clearProjectIndex();
    } else if (t == "openProject") {
        auto path = json::text(message, "path");
        if (path) openIndexedProject(*path);
    } else if (t == "planRequest") {
        auto prompt = json::text(message, "prompt");
        if (prompt) preparePlan(*prompt);
    } else if (t == "chatRequest") {
        auto question = json::text(message, "question");
        if (question) askTechnicalQuestion(*question);
    } else if (t == "assistantRequest") {
        auto prompt = json::text(message, "prompt");
        if (prompt) routeAssistant(*prompt);
    } else if (t == "saveProducerProfile") {
        const Json* profile = json::object(message, "profile");
        if (profile) saveProducerProfile(*profile);
    } else if (t == "requestOnboardingOrganization") {
        preparePlan("Identifie, renomme et colore toutes les pistes avant d’analyser le mix.");
    } else if (t == "validateProjectStage") {
        auto stage = json::integer(message, "stage");
        if (stage && *stage >= std::numeric_limits<int>::min() && *stage <= std::numeric_limits<int>::max())
            validateProjectStage(static_cast<int>(*stage));
    } else if (t == "completeOnboarding") {
        completeOnboarding();
    } else if (t == "executePlan") {
        auto planId = json::text(message, "planId");
        if (planId) executePlan(*planId, json::text(message, "prompt"));
    } else if (t == "declinePlan") {
        auto planId = json::text(message, "planId");
        if (planId) declinePlan(*planId, json::text(message, "reason"));
    } else if (t == "resetPreferenceProfile") {
        preferenceStore.clear();
        sendPreferenceProfile();
    } else if (t == "resetOnboarding") {
        resetOnboarding();
    } else if (t == "undo") {
        undoLastAction();
    }
}

void AppDelegate::routeAssistant(const std::string& prompt) {
    // 1. A request to detect the key of the selected clip.
    if (EmbeddedAgentClient::isKeyDetectionRequest(prompt)) {
        findKey(prompt);
        return;
    }
    // 2. The answer to the key question asked earlier.
    if (pendingActionClarification) {
        std::string earlier = std::exchange(pendingActionClarification, std::nullopt).value();
        auto combined = SafeActionPlanner::resolveMusicalKeyClarification(earlier, prompt);
        if (combined) {
            preparePlan(*combined);
        } else {
            send("chatResult",
                 Json{{"ok", true},
                      {"source", "local"},
                      {"answer",
                       "Je n’ai pas trouvé de tonalité exploitable dans ta réponse, donc je n’ai rien modifié. Écris "
                       "simplement la tonalité complète — par exemple **F minor** — puis relance la création MIDI."}});
        }
        return;
    }
    bool followUp = SafeActionPlanner::isMidiImprovementFollowUp(prompt);
    // 3. Improve the MIDI clip open in Live.
    if (followUp && hasOpenSelectedMidiClip()) {
        preparePlan("Améliore le clip MIDI sélectionné. " + prompt, prompt);
        return;
    }
    // 4. Improve the clip the last plan wrote, through the agent.
    if (followUp && lastCompletedMidiPrompt) {
        bool wroteMidi = std::any_of(lastAcceptedActionTypes.begin(), lastAcceptedActionTypes.end(), [](const auto& type) {
            return type == caseName(SafeActionCommand::createMidiClip) ||
                   type == caseName(SafeActionCommand::replaceMidiClip);
        });
        if (wroteMidi) {
            askTechnicalQuestion(*lastCompletedMidiPrompt + " · Améliore le clip MIDI sélectionné. " + prompt);
            return;
        }
    }
    // 5. A MIDI creation that still needs a key.
    if (!SafeActionPlanner::isExplicitAction(prompt) && SafeActionPlanner::needsMusicalKeyClarification(prompt)) {
        if (auto key = reliableDetectedKey()) {
            preparePlan(prompt + " · tonalité " + sharpsAsHash(key->key), prompt);
            return;
        }
        pendingActionClarification = prompt;
        std::string question = EmbeddedAgentClient::musicalKeyClarificationAnswer();
        appendChatTurns(prompt, question);
        send("chatResult", Json{{"ok", true}, {"answer", question}, {"source", "local"}});
        return;
    }
    // 6. Everything else is a question for the agent.
    askTechnicalQuestion(prompt);
}

// ---- Set-up actions ----------------------------------------------------------------

void AppDelegate::installBridge() {
    offLoop<BridgeInstallationStatus>(
        Lane::work, [installer = settings_.installer] { return installer.install(); },
        [this](Outcome<BridgeInstallationStatus> outcome) {
            if (!outcome.ok()) {
                std::string message = describe(outcome.error());
                sendSetupStatus(message, true);
                send("installationResult", Json{{"ok", false}, {"message", message}});
                return;
            }
            sendSetupStatus("Bridge installé dans Ableton.", false);
            send("installationResult", Json{{"ok", true},
                                            {"destinationPath", outcome.get().destinationPath},
                                            {"abletonRunning", isAbletonRunning()}});
            connectBridge();
        });
}

void AppDelegate::connectAgent(VantorelAgent agent) {
    const std::string raw(rawName(agent));
    send("agentConnectionResult", Json{{"ok", true},
                                       {"pending", true},
                                       {"agent", raw},
                                       {"message", "Connexion à " + std::string(displayName(agent)) + "…"}});
    offLoop<std::string>(
        Lane::work, [connector = settings_.agents, agent] { return connector.connect(agent); },
        [this, raw](Outcome<std::string> outcome) {
            if (!outcome.ok()) {
                send("agentConnectionResult", Json{{"ok", false}, {"agent", raw}, {"message", describe(outcome.error())}});
                return;
            }
            send("agentConnectionResult", Json{{"ok", true}, {"agent", raw}, {"message", outcome.get()}});
            sendSetupStatus();
        });
}

void AppDelegate::setLaunchAtLogin(bool enabled) {
    if (shell_.registerLoginItem(enabled)) {
        sendSetupStatus(enabled ? "Vantorel se lancera à l’ouverture de session." : "Lancement automatique désactivé.",
                        false);
    } else {
        sendSetupStatus("Le lancement automatique doit être autorisé dans les réglages du système.", true);
    }
}

// ---- Helpers -----------------------------------------------------------------

void AppDelegate::bridgeRequest(std::shared_ptr<const BridgeClient> client, std::string path, std::string method,
                                std::optional<Json> payload, std::optional<double> timeoutSeconds,
                                std::function<void(Outcome<Json>)> deliver, Lane lane) {
    offLoop<Json>(
        lane,
        [client = std::move(client), path = std::move(path), method = std::move(method), payload = std::move(payload),
         timeoutSeconds] { return client->request(path, method, payload, timeoutSeconds); },
        std::move(deliver));
}

void AppDelegate::appendChatTurns(const std::string& user, const std::string& assistant) {
    chatHistory.push_back(RemoteChatTurn{"user", text::graphemePrefix(user, userTurnLimit)});
    chatHistory.push_back(RemoteChatTurn{"assistant", text::graphemePrefix(assistant, assistantTurnLimit)});
    if (chatHistory.size() > chatHistoryLimit)
        chatHistory.erase(chatHistory.begin(), chatHistory.end() - static_cast<std::ptrdiff_t>(chatHistoryLimit));
}

std::optional<int> AppDelegate::currentStage() const {
    if (!currentLifecycle) return std::nullopt;
    return currentLifecycle->currentMilestone;
}

Json* AppDelegate::editableContext() {
    if (!currentContext) return nullptr;
    // Only the loop hands out references, so a sole owner stays sole.
    if (currentContext.use_count() > 1) currentContext = std::make_shared<Json>(*currentContext);
    return currentContext.get();
}

std::optional<std::string> AppDelegate::snapshotProject() const {
    if (!currentSnapshot) return std::nullopt;
    return json::text(*currentSnapshot, "project");
}

void AppDelegate::sendPreferenceProfile() {
    Json dictionary;
    try {
        dictionary = preferenceStore.snapshot().dictionary();
    } catch (const std::exception&) {
        return;
    }
    send("preferenceProfile", std::move(dictionary));
}

// ---- Derived facts -------------------------------------------------------------

bool AppDelegate::isUnsavedName(std::string_view trimmedName) {
    return trimmedName.empty() || trimmedName == unsavedSetName;
}

bool AppDelegate::isUnsavedSet() const { return isUnsavedName(text::trim(snapshotProject().value_or(""))); }

bool AppDelegate::hasOpenSelectedMidiClip() const {
    if (!currentContext) return false;
    const Json* analysis = json::object(*currentContext, "projectAnalysis");
    if (!analysis) return false;
    for (const Json* track : json::objects(*analysis, "tracks")) {
        if (json::flag(*track, "selected") != true) continue;
        if (json::flag(*track, "isMidiTrack") != true) return false;
        for (const Json* clip : json::objects(*track, "clipDetails")) {
            if (json::flag(*clip, "selected") == true && json::text(*clip, "type") == "midi") return true;
        }
        return false;
    }
    return false;
}

std::optional<DetectedKey> AppDelegate::reliableDetectedKey() const {
    if (!lastDetectedKey || lastDetectedKey->confidence < 0.6) return std::nullopt;
    auto project = snapshotProject();
    // An unsaved set has no identity of its own: a key found in one sketch
    // must not be reused in the next.
    if (isUnsavedSet()) return std::nullopt;
    if (lastDetectedKey->project != project.value_or("")) return std::nullopt;
    return lastDetectedKey;
}

}  // namespace vantorel
