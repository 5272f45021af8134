// Flows whose real implementation has not landed yet. Each answers the page
// with an honest refusal so that the page never waits on them; a flow that
// lands removes its function from this file.
#include "app/app_delegate.h"
#include "bridge/failure.h"

namespace vantorel {

namespace {

constexpr const char* unavailable = "Cette fonction n’est pas encore disponible dans cette version.";

}  // namespace

void AppDelegate::findKey(std::optional<std::string> conversationPrompt) {
    send(conversationPrompt ? "chatResult" : "keyResult", Json{{"ok", false}, {"message", unavailable}});
}

void AppDelegate::listenSelectedClip() { send("audioResult", Json{{"ok", false}, {"message", unavailable}}); }

void AppDelegate::askTechnicalQuestion(const std::string&) {
    send("chatResult", Json{{"ok", false}, {"message", unavailable}});
}

void AppDelegate::executeMasterListen(const SafePlanAction&, std::int64_t, std::function<void(Outcome<Json>)> done) {
    done(Outcome<Json>::failure(std::make_exception_ptr(BridgeFailure(BridgeFailureCase::invalidResponse))));
}

void AppDelegate::chooseProjectFolder() { send("projectScanResult", Json{{"ok", false}, {"message", unavailable}}); }
void AppDelegate::scanProjectFolder(const std::filesystem::path&) { send("projectScanResult", Json{{"ok", false}, {"message", unavailable}}); }
void AppDelegate::clearProjectIndex() { send("projectScanResult", Json{{"ok", false}, {"message", unavailable}}); }
void AppDelegate::openIndexedProject(const std::string&) {
    send("projectScanResult", Json{{"ok", false}, {"message", unavailable}});
}

void AppDelegate::saveProducerProfile(const Json&) { send("onboardingError", Json{{"message", unavailable}}); }
void AppDelegate::validateProjectStage(int) { send("onboardingError", Json{{"message", unavailable}}); }
void AppDelegate::completeOnboarding() { send("onboardingError", Json{{"message", unavailable}}); }
void AppDelegate::resetOnboarding() { send("onboardingError", Json{{"message", unavailable}}); }

}  // namespace vantorel
