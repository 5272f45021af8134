#include "bridge/readable.h"

#include "bridge/failure.h"
#include "common/text.h"

namespace vantorel {

namespace {

std::string readableRemote(const std::string& message) {
    std::string lowered = text::lower(message);
    auto has = [&](const char* needle) { return text::contains(lowered, needle); };
    if (has("main, group and return tracks") || has("no arrangement clips")) {
        return "Je n’ai pas pu utiliser une piste de groupe comme source. Sélectionne une loop audio ou MIDI normale "
               "puis relance la création.";
    }
    if (has("npythonclip") || has("no registered converter")) {
        return "Ableton a refusé le format des notes MIDI. Le plan n’a pas été appliqué.";
    }
    if (has("traceback") || has("remotescripterror")) {
        return "Ableton a interrompu cette action. Rien n’a été appliqué dans ton projet.";
    }
    return message;
}

}  // namespace

std::string readable(const std::exception& error) {
    if (const auto* failure = dynamic_cast<const BridgeFailure*>(&error)) {
        if (failure->kind() == BridgeFailureCase::remote) return readableRemote(failure->message());
        return failure->description();
    }
    // The analysers' and the remote planner's errors carry their own sentence;
    // so does every other error of the system's enumerations.
    if (const auto* own = dynamic_cast<const Error*>(&error)) return own->description();
    return notAnsweringText;
}

std::string readable(std::exception_ptr error) {
    try {
        if (error) std::rethrow_exception(error);
    } catch (const std::exception& caught) {
        return readable(caught);
    } catch (...) {
    }
    return notAnsweringText;
}

}  // namespace vantorel
