// The app's bridge errors, in the order the set-up screen and readable()
// know them.
#pragma once

#include "common/error.h"

#include <string>
#include <string_view>

namespace vantorel {

enum class BridgeFailureCase { incompatible, remote, configurationMissing, configurationInvalid, invalidResponse };

class BridgeFailure : public EnumError<BridgeFailure, BridgeFailureCase> {
public:
    static constexpr std::string_view typeName = "BridgeFailure";
    static std::string_view caseName(BridgeFailureCase kind);
    static std::string_view describe(BridgeFailureCase kind);

    using EnumError::EnumError;

    static BridgeFailure incompatible(std::string message) {
        return BridgeFailure(BridgeFailureCase::incompatible, std::move(message));
    }
    static BridgeFailure remote(std::string message) { return BridgeFailure(BridgeFailureCase::remote, std::move(message)); }

    // The payload of incompatible and remote: the bridge's or the gate's message.
    const std::string& message() const { return description(); }
};

}  // namespace vantorel
