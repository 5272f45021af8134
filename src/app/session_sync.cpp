// Connection, context polls, project identity, onboarding state and set-up
// status of the controller.
#include "agent/agent_connector.h"
#include "app/app_delegate.h"
#include "bridge/readable.h"
#include "common/json.h"
#include "common/text.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace vantorel {

namespace {

// Track names compared without case. Identity folds every track name of
// every indexed set at each poll: nearly all are short ASCII names, which are
// lower-cased into a buffer of their own, padded with zeros to whole 8-byte
// words that are hashed and compared a word at a time; ICU and the heap are
// left for the others.
constexpr std::size_t wordBytes = 8;

std::uint64_t wordAt(const char* bytes, std::size_t word) {
    std::uint64_t value;
    std::memcpy(&value, bytes + word * wordBytes, wordBytes);
    return value;
}

std::size_t wordCount(std::size_t bytes) { return (bytes + wordBytes - 1) / wordBytes; }

// A folded name's words, hashed. A product carries a word's bits only
// upwards, and names differ in their last bytes (the high ones): the last
// shifts and product bring them down to the low bits a table slot is taken
// from.
std::uint64_t mixWord(std::uint64_t hash, std::uint64_t word) {
    hash = (hash ^ word) * 0x9E3779B97F4A7C15ull;
    return hash ^ (hash >> 32);
}

std::uint64_t finishHash(std::uint64_t hash) {
    hash = (hash ^ (hash >> 29)) * 0xBF58476D1CE4E5B9ull;
    return hash ^ (hash >> 32);
}

std::uint64_t hashWords(const char* bytes, std::size_t size) {
    std::uint64_t hash = size;
    for (std::size_t w = 0; w < wordCount(size); ++w) hash = mixWord(hash, wordAt(bytes, w));
    return finishHash(hash);
}

class FoldedName {
public:
    void assign(std::string_view name) {
        constexpr std::uint64_t ones = 0x0101010101010101ull;
        constexpr std::uint64_t highs = ones * 0x80;
        if (name.empty() || name.size() > shortLimit) return assignOther(name);
        const std::size_t words = wordCount(name.size());
        std::memset(buffer_ + (words - 1) * wordBytes, 0, wordBytes);
        std::memcpy(buffer_, name.data(), name.size());
        std::uint64_t hash = name.size();
        for (std::size_t w = 0; w < words; ++w) {
            std::uint64_t word = wordAt(buffer_, w);
            if (word & highs) return assignOther(name);
            // Bytes below 0x80: the high bit of byte + 0x3F says ">= 'A'",
            // that of byte + 0x25 "> 'Z'"; neither sum carries over.
            word |= ((word + ones * 0x3F) & ~(word + ones * 0x25) & highs) >> 2;
            std::memcpy(buffer_ + w * wordBytes, &word, wordBytes);
            hash = mixWord(hash, word);
        }
        inBuffer_ = true;
        size_ = name.size();
        hash_ = finishHash(hash);
    }
    std::size_t size() const { return size_; }
    std::uint64_t hash() const { return hash_; }
    // The name padded with zeros to whole words.
    const char* words() const { return inBuffer_ ? buffer_ : other_.data(); }

private:
    // Names with bytes beyond ASCII (or empty, or long): through ICU.
    [[gnu::noinline]] void assignOther(std::string_view name) {
        other_ = text::lower(name);
        size_ = other_.size();
        other_.resize(wordCount(size_) * wordBytes, '\0');
        inBuffer_ = false;
        hash_ = hashWords(other_.data(), size_);
    }

    static constexpr std::size_t shortLimit = 64;
    alignas(wordBytes) char buffer_[shortLimit];
    std::string other_;
    bool inBuffer_ = true;
    std::size_t size_ = 0;
    std::uint64_t hash_ = 0;
};

bool sameFolded(const FoldedName& a, const FoldedName& b) {
    if (a.hash() != b.hash() || a.size() != b.size()) return false;
    for (std::size_t w = 0; w < wordCount(a.size()); ++w)
        if (wordAt(a.words(), w) != wordAt(b.words(), w)) return false;
    return true;
}

// Live's distinct folded track names, numbered in order of first
// appearance, in an open-addressed table.
class NameTable {
public:
    explicit NameTable(std::size_t capacity) : slots_(tableSize(capacity), 0) { names_.reserve(capacity); }

    // The number of a new name, or that of the same name seen before.
    std::size_t add(const FoldedName& name) {
        std::size_t at = slotOf(name);
        if (slots_[at] != 0) return slots_[at] - 1;
        names_.push_back(name);
        slots_[at] = static_cast<std::uint32_t>(names_.size());
        return names_.size() - 1;
    }
    std::optional<std::size_t> find(const FoldedName& name) const {
        std::size_t at = slotOf(name);
        if (slots_[at] == 0) return std::nullopt;
        return slots_[at] - 1;
    }
    std::size_t size() const { return names_.size(); }
    bool empty() const { return names_.empty(); }

private:
    // At most half full.
    static std::size_t tableSize(std::size_t capacity) {
        std::size_t size = 16;
        while (size < 2 * capacity) size *= 2;
        return size;
    }
    // The slot holding the name, or the free one it would take.
    std::size_t slotOf(const FoldedName& name) const {
        const std::size_t mask = slots_.size() - 1;
        std::size_t at = name.hash() & mask;
        while (slots_[at] != 0 && !sameFolded(names_[slots_[at] - 1], name)) at = (at + 1) & mask;
        return at;
    }
    std::vector<FoldedName> names_;
    std::vector<std::uint32_t> slots_;  // 1 + the name's number; 0 is free
};

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
    offLoop<ContextReply>(
        Lane::quick,
        [client = bridge, reader = contextReader_, held = heldReply(),
         timeout = settings_.intervals.pollTimeoutSeconds] {
            BridgeRawReply reply = client->exchange("/v1/context", "GET", std::nullopt, timeout);
            return reader->read(reply.status, std::move(reply.body), held);
        },
        [this, attempt](Outcome<ContextReply> outcome) {
            // A poll of an older attempt: the mirror it describes was
            // cleared with that attempt, and must stay so.
            if (attempt != connectionAttempt) return;
            sessionRequestInFlight = false;
            if (!outcome.ok()) {
                sendConnectionFailure(readable(outcome.error()));
                return;
            }
            acceptPoll(std::move(outcome.get()));
        });
}

std::uint64_t AppDelegate::heldReply() const {
    // Shared, the mirror could not take the new timing in place; replaced
    // (a copy, a test's own), it is no longer the reply's.
    if (!currentContext || currentContext.use_count() > 1 || !currentSnapshot) return 0;
    if (mirrorFrom_.owner_before(currentContext) || currentContext.owner_before(mirrorFrom_)) return 0;
    return mirrorReply_;
}

void AppDelegate::acceptPoll(ContextReply reply) {
    Json* context = nullptr;
    if (reply.result) {
        Json& result = *reply.result;
        if (!result.is_object()) return;
        auto sessionIt = result.find("session");
        if (sessionIt == result.end() || !sessionIt->is_object()) return;
        auto revision = revisionOf(*sessionIt);
        if (!revision) return;

        std::optional<std::string> project = json::text(*sessionIt, "project");
        // The last name seen survives failed polls: a set opened during a
        // hiccup still ends the conversation of the one before.
        if (lastSeenProject && project != lastSeenProject) resetConversationSession("projectChanged");
        lastSeenProject = project;

        currentRevision = *revision;
        currentSnapshot = *sessionIt;
        try {
            sessionEvent_ = json::compact(*currentSnapshot);
        } catch (const std::exception&) {
            sessionEvent_.reset();
        }
        // The next reply may be taken as this one again only if the members
        // the loop sets below were not the bridge's own.
        bool comparable = reply.number != 0;
        for (const char* own : {"audioMeasurement", "lifecycle", "onboarding", "producerProfile"})
            comparable = comparable && !result.contains(own);

        // The previous mirror is a tree of tens of thousands of nodes on a
        // large set: freeing it took the loop milliseconds per poll, so the
        // quick lane lets it go instead (a question still holding it frees
        // it last).
        if (currentContext) {
            loop_.background<bool>(
                Lane::quick,
                [previous = std::move(currentContext)]() mutable {
                    previous.reset();
                    return true;
                },
                [](Outcome<bool>) {});
        }
        currentContext = std::make_shared<Json>(std::move(result));
        mirrorFrom_ = currentContext;
        mirrorReply_ = comparable ? reply.number : 0;
        context = currentContext.get();
    } else {
        // The same set as the mirror's, but for the reply's age: the mirror
        // stays, and what derives from it is worked out as for a new reply.
        if (reply.number == 0 || reply.number != heldReply()) {
            // The mirror changed hands while the poll was out: ask again, in full.
            pollNow();
            return;
        }
        context = currentContext.get();
        for (auto& [key, value] : reply.timing.items()) (*context)[key] = value;
    }

    lastContextUpdatedAt = now();
    const std::optional<std::string> project = json::text(*currentSnapshot, "project");

    // A measurement belongs to the set it was taken in.
    std::optional<Json> measurement;
    if (latestAudioMeasurement && json::text(*latestAudioMeasurement, "project") == project)
        measurement = latestAudioMeasurement;
    if (measurement) {
        (*context)["audioMeasurement"] = *measurement;
    } else if (!reply.result) {
        context->erase("audioMeasurement");
    }

    const std::string name = project.value_or(std::string(unsavedSetName));
    const Json* analysis = json::object(*context, "projectAnalysis");
    if (analysis) {
        VantorelLifecycleStore& store = isUnsavedSet() ? *unsavedLifecycle_ : lifecycleStore;
        currentLifecycle = store.update(name, *analysis, measurement);
        try {
            Json lifecycle = currentLifecycle->dictionary();
            (*context)["lifecycle"] = lifecycle;
            send("lifecycle", std::move(lifecycle));
        } catch (const std::exception&) {
            if (!reply.result) context->erase("lifecycle");
        }
    }

    Json onboarding = onboardingDictionary(name);
    (*context)["onboarding"] = onboarding;
    if (onboarding.is_object() && onboarding.contains("profile")) {
        (*context)["producerProfile"] = onboarding["profile"];
    } else {
        context->erase("producerProfile");
    }

    analysis = json::object(*context, "projectAnalysis");
    if (analysis) send("projectIdentity", resolveProjectIdentity(*currentSnapshot, *analysis));

    const Json* ageValue = json::member(*context, "contextAgeMs");
    std::optional<long long> age = ageValue ? json::asInteger(*ageValue) : std::nullopt;
    Json captured = context->contains("capturedAtUnix") ? (*context)["capturedAtUnix"] : Json();

    if (sessionEvent_) sendSerialized("session", *sessionEvent_);
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

    FoldedName folded, candidate;
    folded.assign(name);
    const ALSProjectSummary* byName = nullptr;
    int sameName = 0;
    for (const auto& project : index->projects) {
        candidate.assign(project.name);
        if (sameFolded(candidate, folded)) {
            ++sameName;
            byName = &project;
        }
    }
    if (sameName == 1)
        return Json{{"source", "indexedName"}, {"saved", true}, {"name", byName->name}, {"path", byName->path}};

    // Live's distinct folded names, each with the last indexed set that
    // shared it, so that a set naming a track twice counts it once.
    const Json* tracks = json::member(snapshot, "tracks");
    if (tracks && !tracks->is_array()) tracks = nullptr;
    NameTable live(tracks ? tracks->size() : 0);
    std::size_t liveCount = 0;
    if (tracks) {
        for (const Json& track : *tracks) {
            if (!track.is_object()) continue;
            const Json* trackName = json::member(track, "name");
            if (!trackName || !trackName->is_string()) continue;
            candidate.assign(trackName->get_ref<const std::string&>());
            live.add(candidate);
            ++liveCount;
        }
    }
    std::vector<std::size_t> sharedBy(live.size(), index->projects.size());
    const double liveTempo = json::number(snapshot, "tempo", 0);

    // The best score (the first set to reach it) and the best of the others.
    const ALSProjectSummary* best = nullptr;
    double bestScore = -std::numeric_limits<double>::infinity();
    double runnerUp = -std::numeric_limits<double>::infinity();
    for (std::size_t position = 0; position < index->projects.size(); ++position) {
        const ALSProjectSummary& project = index->projects[position];
        std::size_t shared = 0;
        if (!live.empty()) {
            for (const auto& track : project.tracks) {
                candidate.assign(track.name);
                auto found = live.find(candidate);
                if (!found || sharedBy[*found] == position) continue;
                sharedBy[*found] = position;
                ++shared;
            }
        }
        double overlap = live.empty() ? 0 : static_cast<double>(shared) / static_cast<double>(live.size()) * 0.75;
        double countGap = std::min(
            std::abs(static_cast<double>(project.tracks.size()) - static_cast<double>(liveCount)) * 0.125, 1.0);
        double tempoGap = project.tempo ? std::min(std::abs(*project.tempo - liveTempo) * 0.125, 1.0) : 0.5;
        const double score = overlap + (1 - countGap) * 0.15 + (1 - tempoGap) * 0.1;
        if (score > bestScore) {
            runnerUp = bestScore;
            bestScore = score;
            best = &project;
        } else if (score > runnerUp) {
            runnerUp = score;
        }
    }
    // Scores are sums of binary fractions: compare with a hair of slack so
    // that a margin of exactly 0.08 or a score of exactly 0.72 counts.
    constexpr double slack = 1e-9;
    bool clear = index->projects.size() == 1 || bestScore - runnerUp >= 0.08 - slack;
    if (best && bestScore >= 0.72 - slack && clear)
        return Json{{"source", "sessionFingerprint"},
                    {"saved", true},
                    {"name", best->name},
                    {"path", best->path},
                    {"confidence", bestScore}};
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
