// Plans: preparing, confirming, running, declining, and the direct undo.
#include "app/app_delegate.h"
#include "bridge/readable.h"
#include "common/error.h"
#include "common/json.h"
#include "common/text.h"
#include "planning/plan_validator.h"
#include "planning/safe_action_planner.h"

#include <algorithm>

namespace vantorel {

namespace {

constexpr std::size_t recentActionLimit = 20;
constexpr double precheckTimeoutSeconds = 20;

std::string messageOf(const std::exception& error) {
    if (const auto* known = dynamic_cast<const Error*>(&error)) return known->description();
    return error.what();
}

bool contains(const SafeActionPlan& plan, SafeActionCommand command) {
    return std::any_of(plan.actions.begin(), plan.actions.end(),
                       [command](const SafePlanAction& action) { return action.command == command; });
}

}  // namespace

struct AppDelegate::PlanRun {
    SafeActionPlan plan;
    std::optional<std::string> prompt;
    std::optional<std::string> conversation;
    std::shared_ptr<const BridgeClient> client;
    std::size_t index = 0;
    std::int64_t revision = 0;
    std::optional<double> arrangementStart;
    bool undoAvailable = false;
    std::optional<std::string> stepMessage;
    std::uint64_t epoch = 0;
};

void AppDelegate::clearPendingPlan() {
    pendingPlan.reset();
    pendingPlanPrompt.reset();
    pendingPlanConversationPrompt.reset();
}

// ---- Preparing -----------------------------------------------------------------

void AppDelegate::preparePlan(const std::string& prompt, std::optional<std::string> conversationPrompt) {
    if (!bridge || !contextIsFresh() || !currentSnapshot) {
        send("planResult", Json{{"ok", false},
                                {"message",
                                 "Le contexte Ableton n’est pas synchronisé. Attends que le nom du projet et ses "
                                 "pistes réapparaissent avant de relancer l’action."}});
        return;
    }
    // The latest request wins: a pre-check still in flight for an earlier one
    // must not install its plan afterwards.
    const std::uint64_t sequence = ++prepareSequence_;
    const std::uint64_t attempt = connectionAttempt;
    const std::int64_t revision = currentRevision;

    SafeActionPlanner::PlanningContext inputs;
    inputs.revision = revision;
    if (const Json* analysis = json::object(*currentContext, "projectAnalysis")) {
        const Json* tracks = json::member(*analysis, "tracks");
        if (tracks && tracks->is_array()) {
            inputs.trackCount = static_cast<std::int64_t>(tracks->size());
            for (const Json* track : json::objects(*analysis, "tracks")) {
                if (json::flag(*track, "selected") != true) continue;
                if (auto index = json::integer(*track, "index")) inputs.selectedTrackIndex = *index;
                inputs.selectedTrackIsMidi = json::flag(*track, "isMidiTrack", false);
                break;
            }
        }
    }
    inputs.currentTime = json::number(*currentSnapshot, "currentTime", 0);
    const Instant cutoff = now() - settings_.intervals.undoWindow;
    while (!recentAcceptedActions.empty() && recentAcceptedActions.front() < cutoff) recentAcceptedActions.pop_front();
    inputs.recentActionCount = static_cast<std::int64_t>(recentAcceptedActions.size());

    SafeActionPlan plan;
    try {
        plan = SafeActionPlanner::plan(prompt, inputs);
        SafePlanValidator::validate(plan, currentRevision);
    } catch (const std::exception& error) {
        clearPendingPlan();
        send("planResult", Json{{"ok", false}, {"message", messageOf(error)}});
        return;
    }

    auto install = [this, prompt, conversationPrompt](SafeActionPlan plan) {
        Json dictionary;
        try {
            dictionary = plan.dictionary();
        } catch (const std::exception& error) {
            clearPendingPlan();
            send("planResult", Json{{"ok", false}, {"message", messageOf(error)}});
            return;
        }
        pendingPlan = std::move(plan);
        pendingPlanPrompt = prompt;
        pendingPlanConversationPrompt = conversationPrompt.value_or(prompt);
        send("planResult", Json{{"ok", true}, {"plan", std::move(dictionary)}, {"prompt", prompt}});
    };

    auto build = std::find_if(plan.actions.begin(), plan.actions.end(), [](const SafePlanAction& action) {
        return action.command == SafeActionCommand::buildArrangement;
    });
    if (build == plan.actions.end()) {
        install(std::move(plan));
        return;
    }
    Json body = Json::object();
    if (build->arrangementSections) {
        Json sections = Json::array();
        for (const auto& section : *build->arrangementSections) {
            Json one;
            to_json(one, section);
            sections.push_back(std::move(one));
        }
        body["sections"] = std::move(sections);
    }
    if (build->sourceSceneIndex) body["sourceSceneIndex"] = *build->sourceSceneIndex;
    bridgeRequest(
        bridge, "/v1/arrangement/plan", "POST", std::move(body), precheckTimeoutSeconds,
        [this, sequence, attempt, install, plan = std::move(plan)](Outcome<Json> outcome) mutable {
            if (sequence != prepareSequence_ || attempt != connectionAttempt) return;
            if (!outcome.ok()) {
                clearPendingPlan();
                send("planResult", Json{{"ok", false}, {"message", readable(outcome.error())}});
                return;
            }
            install(std::move(plan));
        },
        Lane::work);
}

void AppDelegate::installPlan(const Json& planDictionary, const std::string& prompt) {
    try {
        SafeActionPlan plan = SafeActionPlan::decode(planDictionary);
        SafePlanValidator::validate(plan, currentRevision);
        Json dictionary = plan.dictionary();
        ++prepareSequence_;
        pendingPlan = std::move(plan);
        pendingPlanPrompt = prompt;
        pendingPlanConversationPrompt = prompt;
        send("planResult", Json{{"ok", true}, {"plan", std::move(dictionary)}, {"prompt", prompt}});
    } catch (const std::exception& error) {
        send("planResult", Json{{"ok", false}, {"message", messageOf(error)}});
    }
}

bool AppDelegate::refreshPlanIfPossible(std::optional<std::string> prompt, const std::string& message) {
    if (!prompt) return false;
    std::string trimmed = text::trim(*prompt);
    if (trimmed.empty()) return false;
    send("planRefreshNotice", Json{{"message", message}});
    preparePlan(trimmed);
    return true;
}

// ---- Confirming and declining -----------------------------------------------------

void AppDelegate::executePlan(const std::string& planId, std::optional<std::string> refreshPrompt) {
    if (planExecutionInFlight) {
        send("planExecutionResult", Json{{"ok", false}, {"message", "Un plan est déjà en cours d’exécution."}});
        return;
    }
    if (!contextIsFresh()) {
        clearPendingPlan();
        send("planExecutionResult",
             Json{{"ok", false},
                  {"message", "Le contexte Ableton n’est plus synchronisé. L’action est annulée avant toute modification."}});
        return;
    }
    if (!pendingPlan || pendingPlan->planId != planId) {
        if (!refreshPlanIfPossible(pendingPlanPrompt ? pendingPlanPrompt : refreshPrompt,
                                   "Le contexte Ableton a été actualisé. Je régénère ce plan avec l’état actuel du "
                                   "projet ; vérifie-le puis confirme.")) {
            send("planExecutionResult",
                 Json{{"ok", false},
                      {"message", "Ce plan n’est plus actif. Relance la demande pour en préparer un nouveau."}});
        }
        return;
    }
    try {
        SafePlanValidator::validate(*pendingPlan, currentRevision);
    } catch (const std::exception& error) {
        pendingPlan.reset();
        if (!refreshPlanIfPossible(pendingPlanPrompt ? pendingPlanPrompt : refreshPrompt,
                                   "Le projet a changé depuis la préparation. Je recalcule l’action sur la version "
                                   "actuelle ; vérifie-la puis confirme.")) {
            send("planExecutionResult", Json{{"ok", false}, {"stale", true}, {"message", messageOf(error)}});
        }
        return;
    }
    if (!bridge) {
        send("planExecutionResult", Json{{"ok", false}, {"message", "Ableton n’est plus connecté."}});
        return;
    }
    planExecutionInFlight = true;
    // The run owns its plan and prompts from here: a plan prepared while it
    // runs is a new pending plan, not something the run's end may clear.
    auto run = std::make_shared<PlanRun>();
    run->plan = std::move(*pendingPlan);
    run->prompt = std::move(pendingPlanPrompt);
    run->conversation = std::move(pendingPlanConversationPrompt);
    clearPendingPlan();
    run->client = bridge;
    run->revision = run->plan.expectedRevision;
    run->epoch = epoch_;
    runStep(std::move(run));
}

void AppDelegate::declinePlan(const std::string& planId, std::optional<std::string> reason) {
    if (!pendingPlan || pendingPlan->planId != planId) return;
    for (const auto& action : pendingPlan->actions) {
        preferenceStore.record(caseName(action.command), currentStage(), VantorelPreferenceOutcome::refused,
                               reason ? std::optional<std::string_view>(*reason) : std::nullopt);
    }
    clearPendingPlan();
    sendPreferenceProfile();
    send("planDeclined", Json{{"ok", true}, {"message", "Refus explicite enregistré localement."}});
}

// ---- Running -------------------------------------------------------------------------

void AppDelegate::runStep(std::shared_ptr<PlanRun> run) {
    const auto& actions = run->plan.actions;
    if (run->index >= actions.size()) {
        finishPlan(std::move(run));
        return;
    }
    const SafePlanAction& action = actions[run->index];
    send("planProgress", Json{{"planId", run->plan.planId},
                              {"index", run->index},
                              {"total", actions.size()},
                              {"title", action.title}});

    auto next = [this, run](Outcome<Json> outcome) {
        if (!outcome.ok()) {
            failPlan(run, outcome.error());
            return;
        }
        const SafePlanAction& done = run->plan.actions[run->index];
        const Json& result = outcome.get();
        if (done.command == SafeActionCommand::undo) {
            if (!recentAcceptedActions.empty()) recentAcceptedActions.pop_back();
        } else if (done.reversible && done.command != SafeActionCommand::listenMaster) {
            // A master capture removes the track it adds: nothing to take back.
            recentAcceptedActions.push_back(now());
            while (recentAcceptedActions.size() > recentActionLimit) recentAcceptedActions.pop_front();
        }
        if (result.is_object()) {
            if (const Json* revision = json::member(result, "revision")) {
                if (auto value = json::asInteger(*revision)) run->revision = *value;
            }
            if (done.command == SafeActionCommand::buildArrangement) {
                if (auto start = json::number(result, "arrangementStart")) run->arrangementStart = *start;
                run->stepMessage = json::text(result, "summary").value_or("Arrangement club de 128 mesures créé à partir de ta loop.") +
                                   " Intro, groove, builds, drops, break et outro restent entièrement éditables.";
            } else if (done.command == SafeActionCommand::undo) {
                run->stepMessage = json::text(result, "summary").value_or("Dernière action Vantorel annulée.");
            }
        }
        preferenceStore.record(caseName(done.command), currentStage(), VantorelPreferenceOutcome::accepted);
        // Only a change the bridge can take back makes the plan undoable; an
        // undo step takes one back rather than offering one.
        if (done.command != SafeActionCommand::undo && result.is_object() && json::flag(result, "undoAvailable") == true) {
            lastAcceptedActionTypes = {std::string(caseName(done.command))};
            run->undoAvailable = true;
        }
        ++run->index;
        runStep(run);
    };

    if (action.command == SafeActionCommand::listenMaster) {
        executeMasterListen(action, run->revision, std::move(next));
        return;
    }
    offLoop<Json>(
        Lane::work,
        [client = run->client, action, revision = run->revision, start = run->arrangementStart] {
            return execute(action, revision, *client, start);
        },
        std::move(next));
}

void AppDelegate::finishPlan(std::shared_ptr<PlanRun> run) {
    const SafeActionPlan& plan = run->plan;
    if (contains(plan, SafeActionCommand::createMidiClip) || contains(plan, SafeActionCommand::replaceMidiClip))
        lastCompletedMidiPrompt = run->prompt;
    std::string message = contains(plan, SafeActionCommand::replaceMidiClip)
                              ? "Clip MIDI modifié directement dans Ableton. La version précédente reste annulable."
                              : run->stepMessage.value_or("Plan exécuté dans Ableton.");
    // An unsaved sketch is marked in memory only (see the constructor).
    if (contains(plan, SafeActionCommand::organize)) {
        if (auto project = snapshotProject()) {
            onboardingStore.markOrganized(*project);
            refreshOnboardingContext();
            sendOnboardingState();
        }
    }
    sendPreferenceProfile();
    std::string conversation = run->conversation.value_or(run->prompt.value_or(""));
    // A conversation reset while the plan ran (another set, Live restarted)
    // must not receive the old set's exchange.
    if (!conversation.empty() && run->epoch == epoch_) appendChatTurns(conversation, message);
    send("planExecutionResult", Json{{"ok", true},
                                     {"planId", plan.planId},
                                     {"completed", plan.actions.size()},
                                     {"total", plan.actions.size()},
                                     {"undoAvailable", run->undoAvailable},
                                     {"message", message}});
    pollNow();
    sendSetupStatus();
    planExecutionInFlight = false;
}

void AppDelegate::failPlan(std::shared_ptr<PlanRun> run, std::exception_ptr error) {
    std::string message = readable(error);
    std::string conversation = run->conversation.value_or(run->prompt.value_or(""));
    if (!conversation.empty() && run->epoch == epoch_)
        appendChatTurns(conversation, "Je n’ai pas terminé cette action dans Ableton : " + message);
    send("planExecutionResult", Json{{"ok", false},
                                     {"planId", run->plan.planId},
                                     {"completed", run->index},
                                     {"total", run->plan.actions.size()},
                                     {"undoAvailable", run->undoAvailable},
                                     {"message", message}});
    sendSetupStatus();
    planExecutionInFlight = false;
}

// ---- Direct undo -------------------------------------------------------------------------

void AppDelegate::undoLastAction() {
    // One change at a time: a double click must not take back two changes,
    // and the page always gets its answer.
    if (planExecutionInFlight || undoInFlight) {
        send("undoResult", Json{{"ok", false}, {"message", "Une action est déjà en cours dans Ableton."}});
        return;
    }
    if (!bridge) {
        send("undoResult", Json{{"ok", false}, {"message", "Ableton n’est pas connecté."}});
        return;
    }
    undoInFlight = true;
    bridgeRequest(
        bridge, "/v1/undo", "POST", Json::object(), std::nullopt,
        [this](Outcome<Json> outcome) {
            undoInFlight = false;
            if (!outcome.ok()) {
                send("undoResult", Json{{"ok", false}, {"message", readable(outcome.error())}});
                sendSetupStatus();
                return;
            }
            for (const auto& type : lastAcceptedActionTypes)
                preferenceStore.record(type, currentStage(), VantorelPreferenceOutcome::undone);
            lastAcceptedActionTypes.clear();
            // The bridge took back its newest change: a spoken "undo all"
            // must not count it again.
            if (!recentAcceptedActions.empty()) recentAcceptedActions.pop_back();
            sendPreferenceProfile();
            send("undoResult", Json{{"ok", true}, {"result", outcome.get()}});
            pollNow();
            sendSetupStatus();
        },
        Lane::work);
}

}  // namespace vantorel
