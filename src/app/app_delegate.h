// AppDelegate: the app controller. It mirrors the Live Set open in Live,
// turns requests into confirmed plans, runs and undoes them, and talks to the
// page through one `send`.
//
// Threading: every member is touched on the loop's thread only. Blocking
// work (bridge requests, the compatibility gate, agent runs, analysis, /proc,
// store writes) runs in a background lane of the MainLoop and comes back with
// `offLoop`, which drops the delivery once the controller is gone. Guards
// (`sessionRequestInFlight`, `planExecutionInFlight`, `undoInFlight`) and
// counters (connection attempt, prepare sequence, epoch) replace locks: a
// result that belongs to an older attempt is dropped on arrival.
//
// The file set: app_delegate.cpp (construction, send, router),
// session_sync.cpp (connection, polls, identity, set-up status),
// plan_flow.cpp (prepare, execute, decline, undo), step_executor.cpp; the
// flows (key, listening, master capture, questions, index, onboarding) each
// live in their own file and implement the members marked "flow" below.
#pragma once

#include "agent/agent_connector.h"
#include "agent/agent_runner.h"
#include "app/context_reply.h"
#include "app/platform.h"
#include "bridge/client.h"
#include "bridge/installer.h"
#include "common/clock.h"
#include "common/main_loop.h"
#include "common/serial_worker.h"
#include "planning/plan.h"
#include "planning/remote_planner_client.h"
#include "project/als_project.h"
#include "project/als_project_index_store.h"
#include "project/lifecycle_store.h"
#include "project/milestone_engine.h"
#include "project/onboarding_store.h"
#include "project/preference_store.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vantorel {

using Json = nlohmann::json;

// The controller's rhythm; tests shorten them.
struct AppIntervals {
    std::chrono::milliseconds poll{2000};           // context poll while connected
    std::chrono::milliseconds retry{2500};          // reconnection after a failed attempt
    std::chrono::milliseconds afterLaunch{2000};    // reconnection after Live starts
    std::chrono::milliseconds freshness{10000};     // how long the mirror is trusted
    std::chrono::milliseconds undoWindow{600000};   // recent actions a spoken undo may take back
    // Limit of the context poll: a bridge whose Live main thread is blocked
    // must show as disconnected about when answers start being refused.
    double pollTimeoutSeconds = 12;
};

struct AppSettings {
    // The app's data folder (stores) and the bridge configuration file.
    std::filesystem::path dataFolder;
    std::filesystem::path bridgeConfiguration;
    BridgeInstaller installer;
    AgentConnector agents;
    // Time limit of an agent run; the agent runner's own when absent.
    std::optional<double> agentTimeLimitSeconds;
    AppIntervals intervals;
    BootClockSource now = [] { return BootClock::now(); };
};

// The last key found for a project (filled by the key detection flow).
struct DetectedKey {
    std::string key;
    double confidence = 0;
    std::string project;
};

class AppDelegate {
public:
    using Instant = BootClock::time_point;

    AppDelegate(MainLoop& loop, WebChannel& web, Shell& shell, RunningApplications& applications,
                AppSettings settings);
    ~AppDelegate();
    AppDelegate(const AppDelegate&) = delete;
    AppDelegate& operator=(const AppDelegate&) = delete;

    // Loads the project index, observes Live and starts the first connection.
    void start();

    // ---- Page ----------------------------------------------------------
    // One page message as received (JSON text); anything that is not a JSON
    // object with a string `type`, over 1 MiB or nested past 512 is ignored.
    void receive(std::string_view message);
    // The router of the page's messages.
    void route(const Json& message);
    // The one way to the page.
    void send(std::string_view event, Json value);
    // The same with the value already serialised (compact, keys sorted), for
    // a payload written without building its tree.
    void sendSerialized(std::string_view event, std::string_view valueJson);

    // ---- Session synchronisation -----------------------------------------
    void connectBridge();
    void sendConnectionFailure(const std::string& message);
    void sendSetupStatus(std::optional<std::string> message = std::nullopt, bool error = false);
    bool contextIsFresh() const;
    Json resolveProjectIdentity(const Json& snapshot, const Json& analysis) const;
    static Json resolveProjectIdentity(const Json& snapshot, const std::optional<ALSProjectIndex>& index);
    void refreshOnboardingContext();
    void sendOnboardingState();
    bool isAbletonRunning() const;
    void abletonLaunched();
    void abletonTerminated();
    void applicationActivated(ActivatedApplication application);
    // Starts a context poll unless one is in flight or there is no bridge.
    void pollNow();

    // ---- Set-up actions (page, tray menu) --------------------------------
    // Installs the bridge off the loop, reports it, then reconnects.
    void installBridge();
    // Registers vantorel-mcp with the agent off the loop; a pending and a
    // final "agentConnectionResult".
    void connectAgent(VantorelAgent agent);
    void setLaunchAtLogin(bool enabled);

    // ---- Plans and undo ------------------------------------------------
    void preparePlan(const std::string& prompt, std::optional<std::string> conversationPrompt = std::nullopt);
    void executePlan(const std::string& planId, std::optional<std::string> refreshPrompt = std::nullopt);
    void declinePlan(const std::string& planId, std::optional<std::string> reason = std::nullopt);
    bool refreshPlanIfPossible(std::optional<std::string> prompt, const std::string& message);
    void undoLastAction();
    // Installs an already built plan as pending when it passes the validator
    // against the current revision; "planResult" either way.
    void installPlan(const Json& planDictionary, const std::string& prompt);

    void resetConversationSession(const std::string& reason);

    // ---- Derived facts ---------------------------------------------------
    bool hasOpenSelectedMidiClip() const;
    std::optional<DetectedKey> reliableDetectedKey() const;

    void sendProjectIndex();

    // The name Live gives every set not saved yet.
    static constexpr std::string_view unsavedSetName = "Live Set sans nom";
    // Whether a trimmed set name is no name of its own (unsavedSetName, or
    // none).
    static bool isUnsavedName(std::string_view trimmedName);
    // isUnsavedName of the snapshot's set.
    bool isUnsavedSet() const;

    // Work in flight (requests, plan runs, undo): `vantorel-cli controller`
    // waits for it to end before exiting.
    bool busy() const;

    // ---- Flows (each in its own file) --------------------------------------
    void findKey(std::optional<std::string> conversationPrompt);               // flow: key
    void listenSelectedClip();                                                 // flow: key
    void askTechnicalQuestion(const std::string& question);                    // flow: question
    // flow: master capture. Runs one `listenMaster` step of a plan against
    // `revision`; `done` is called on the loop exactly once with the step's
    // result (an object; its `revision` carries on) or the error that stops
    // the plan.
    void executeMasterListen(const SafePlanAction& action, std::int64_t revision,
                             std::function<void(Outcome<Json>)> done);
    void chooseProjectFolder();                                                // flow: index
    void scanProjectFolder(const std::filesystem::path& folder);               // flow: index
    void clearProjectIndex();                                                  // flow: index
    void openIndexedProject(const std::string& path);                          // flow: index
    void saveProducerProfile(const Json& profile);                             // flow: onboarding
    void validateProjectStage(int stage);                                      // flow: onboarding
    void completeOnboarding();                                                 // flow: onboarding
    void resetOnboarding();                                                    // flow: onboarding

    // ---- Helpers for the flows -----------------------------------------
    // Runs work in a background lane and delivers its outcome on the loop,
    // unless the controller is gone by then.
    template <typename T>
    void offLoop(Lane lane, std::function<T()> work, std::function<void(Outcome<T>)> deliver) {
        ++workInFlight_;
        loop_.background<T>(
            lane, std::move(work),
            [this, deliver = std::move(deliver)](Outcome<T> outcome) mutable {
                --workInFlight_;
                deliver(std::move(outcome));
            },
            liveness_.watch());
    }
    // A bridge request off the loop (quick lane unless `lane` says otherwise).
    void bridgeRequest(std::shared_ptr<const BridgeClient> client, std::string path, std::string method,
                       std::optional<Json> payload, std::optional<double> timeoutSeconds,
                       std::function<void(Outcome<Json>)> deliver, Lane lane = Lane::quick);
    // Resets and connection changes each start a new epoch: a flow that
    // captured epoch() before going off the loop checks `epoch() == captured`
    // before it writes state that belongs to the set it started on.
    std::uint64_t epoch() const { return epoch_; }
    Instant now() const { return settings_.now(); }
    MainLoop& loop() { return loop_; }
    Shell& shell() { return shell_; }
    const AppSettings& settings() const { return settings_; }
    // The agent runner of the settings' search folders and time limit.
    const AgentRunner& agentRunner() const { return runner_; }
    // Appends a user turn (first 1 600 characters) and an assistant turn
    // (first 8 000), keeping the newest 12.
    void appendChatTurns(const std::string& user, const std::string& assistant);
    // The stage of the current lifecycle, for preference signals.
    std::optional<int> currentStage() const;
    // The mirror for an in-place edit, copied first when work off the loop
    // still holds it; nothing when there is no mirror.
    Json* editableContext();
    // The `project` string of the snapshot, when there is one.
    std::optional<std::string> snapshotProject() const;
    void sendPreferenceProfile();

    // ---- State (read by tests and flows) ---------------------------------
    // Connection (session synchronisation)
    std::shared_ptr<const BridgeClient> bridge;
    bool sessionRequestInFlight = false;
    std::uint64_t connectionAttempt = 0;
    std::int64_t currentRevision = 0;
    std::optional<Json> currentSnapshot;
    // The mirror is shared, never edited while shared: work off the loop (a
    // question) takes a reference instead of copying it on the loop, and an
    // edit goes through editableContext().
    std::shared_ptr<Json> currentContext;
    std::optional<Instant> lastContextUpdatedAt;
    std::optional<Json> latestAudioMeasurement;
    std::optional<VantorelLifecycleSnapshot> currentLifecycle;
    // The last project name seen by a successful poll; kept across failed
    // polls so a set opened during a hiccup still resets the conversation.
    std::optional<std::string> lastSeenProject;

    // Plans
    std::optional<SafeActionPlan> pendingPlan;
    std::optional<std::string> pendingPlanPrompt;
    std::optional<std::string> pendingPlanConversationPrompt;
    bool planExecutionInFlight = false;
    bool undoInFlight = false;
    std::deque<Instant> recentAcceptedActions;
    std::vector<std::string> lastAcceptedActionTypes;
    std::optional<std::string> lastCompletedMidiPrompt;

    // Conversation
    std::vector<RemoteChatTurn> chatHistory;
    std::optional<std::string> embeddedAgentSessionId;
    std::optional<VantorelAgent> embeddedAgentSessionAgent;
    std::optional<std::string> pendingActionClarification;
    std::optional<DetectedKey> lastDetectedKey;
    bool preservePanelVisibilityUntilResponse = false;

    // Project knowledge
    std::optional<ALSProjectIndex> projectIndex;
    ALSProjectIndexStore projectIndexStore;
    VantorelLifecycleStore lifecycleStore;
    VantorelPreferenceStore preferenceStore;
    VantorelOnboardingStore onboardingStore;

    // The last "connection" and "contextInvalidated" values, replayed to a
    // page that reloads while there is no mirror.
    std::optional<Json> lastConnectionEvent;
    std::optional<Json> lastInvalidationEvent;

private:
    // The sentence for a failure of the controller's own work (installation,
    // agent connection, index store): the error's own description, else its
    // text. Bridge failures go through readable() instead.
    static std::string describe(std::exception_ptr error);

    void startPoll();
    void acceptPoll(ContextReply reply);
    // The number of the context reply the mirror was built from, while the
    // loop alone holds it as built (members of its own aside); 0 otherwise.
    std::uint64_t heldReply() const;
    void scheduleRetry();
    void clearPendingPlan();
    void runPlan(SafeActionPlan plan, std::optional<std::string> prompt, std::optional<std::string> conversation);
    struct PlanRun;
    void runStep(std::shared_ptr<PlanRun> run);
    void finishPlan(std::shared_ptr<PlanRun> run);
    void failPlan(std::shared_ptr<PlanRun> run, std::exception_ptr error);
    void routeAssistant(const std::string& prompt);
    Json onboardingDictionary(const std::string& project) const;
    // Master capture (flow).
    struct CaptureRun;
    void pollCapture(std::shared_ptr<CaptureRun> run);
    void captureStatusArrived(std::shared_ptr<CaptureRun> run, Outcome<Json> outcome);
    void cleanUpCapture(std::shared_ptr<CaptureRun> run, Json measurement);
    void abortCapture(std::shared_ptr<CaptureRun> run, std::exception_ptr cause);
    // Project index (flow): saves and clears of the index file, in order.
    void inIndexStoreLane(std::function<void()> work, std::function<void(std::exception_ptr)> done);

    MainLoop& loop_;
    WebChannel& web_;
    Shell& shell_;
    RunningApplications& applications_;
    AppSettings settings_;
    AgentRunner runner_;
    bool answeringOnboarding_ = false;

    // Store files are written here, one at a time, never on the loop.
    SerialWorker writer_;
    // Stages of an unsaved set: in memory only, forgotten at each reset, so a
    // new sketch never inherits the last one's history.
    std::unique_ptr<VantorelLifecycleStore> unsavedLifecycle_;

    // Context polls compare each reply with the last one parsed; the mirror
    // remembers which reply it was built from (mirrorReply_, while
    // mirrorFrom_ is still currentContext) and the "session" value as sent.
    std::shared_ptr<ContextReplyReader> contextReader_ = std::make_shared<ContextReplyReader>();
    std::weak_ptr<Json> mirrorFrom_;
    std::uint64_t mirrorReply_ = 0;
    std::optional<std::string> sessionEvent_;

    Timer pollTimer_;
    Timer relaunchTimer_;
    Timer masterCaptureTimer_;  // the wait between two status polls of a capture
    std::uint64_t projectIndexGeneration = 0;  // bumped by each scan and clear
    std::uint64_t epoch_ = 0;
    std::uint64_t prepareSequence_ = 0;
    int workInFlight_ = 0;
    Liveness liveness_;  // last member: destroyed first
};

// One step of a confirmed plan as one bridge request (blocking; called off
// the loop). Returns the bridge's `result`. Throws BridgeFailure
// (invalidResponse for a missing field), or any error of the client.
// `send` performs the request; the product passes BridgeClient::request.
using BridgeSend = std::function<Json(std::string_view path, std::string_view method, const std::optional<Json>& body,
                                      std::optional<double> timeoutSeconds)>;
Json execute(const SafePlanAction& action, std::int64_t expectedRevision, const BridgeSend& send,
             std::optional<double> arrangementStart);
Json execute(const SafePlanAction& action, std::int64_t expectedRevision, const BridgeClient& bridge,
             std::optional<double> arrangementStart);

}  // namespace vantorel
