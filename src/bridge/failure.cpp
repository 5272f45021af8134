#include "bridge/failure.h"

namespace vantorel {

std::string_view BridgeFailure::caseName(BridgeFailureCase kind) {
    switch (kind) {
        case BridgeFailureCase::incompatible: return "incompatible";
        case BridgeFailureCase::remote: return "remote";
        case BridgeFailureCase::configurationMissing: return "configurationMissing";
        case BridgeFailureCase::configurationInvalid: return "configurationInvalid";
        case BridgeFailureCase::invalidResponse: return "invalidResponse";
    }
    return "unknown";
}

std::string_view BridgeFailure::describe(BridgeFailureCase kind) {
    switch (kind) {
        case BridgeFailureCase::incompatible: return "VantorelBridge n’est pas compatible avec cette version de Vantorel.";
        case BridgeFailureCase::remote: return "Le bridge a refusé la commande.";
        case BridgeFailureCase::configurationMissing: return "Configuration locale introuvable. Réinstalle VantorelBridge.";
        case BridgeFailureCase::configurationInvalid: return "Configuration locale invalide.";
        case BridgeFailureCase::invalidResponse: return "Réponse invalide du bridge Ableton.";
    }
    return "";
}

}  // namespace vantorel
