// The producer's onboarding: profile, validated stage, completion, reset.
// Each answer ends the page's wait ("producerProfileSaved", "onboardingState"
// or "onboardingError" with the store's sentence).
#include "app/app_delegate.h"
#include "project/onboarding_store.h"

namespace vantorel {

namespace {

// The store's own sentence for a refused value; a write failure leaves the
// record in memory, which stays authoritative, so it is no refusal.
template <typename Change>
std::optional<std::string> refusal(Change&& change) {
    try {
        change();
    } catch (const VantorelOnboardingError& error) {
        return error.description();
    }
    return std::nullopt;
}

}  // namespace

void AppDelegate::saveProducerProfile(const Json& profile) {
    if (auto message = refusal([&] { onboardingStore.saveProfile(profile); })) {
        send("onboardingError", Json{{"message", *message}});
        return;
    }
    refreshOnboardingContext();
    if (auto project = snapshotProject()) send("producerProfileSaved", onboardingDictionary(*project));
}

void AppDelegate::validateProjectStage(int stage) {
    auto project = snapshotProject();
    if (!project) return;
    if (auto message = refusal([&] { onboardingStore.validateStage(*project, stage); })) {
        send("onboardingError", Json{{"message", *message}});
        return;
    }
    refreshOnboardingContext();
    sendOnboardingState();
}

void AppDelegate::completeOnboarding() {
    auto project = snapshotProject();
    if (!project) return;
    onboardingStore.complete(*project);
    refreshOnboardingContext();
    sendOnboardingState();
}

void AppDelegate::resetOnboarding() {
    onboardingStore.reset();
    refreshOnboardingContext();
    sendOnboardingState();
}

}  // namespace vantorel
