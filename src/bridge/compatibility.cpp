#include "bridge/compatibility.h"

#include "bridge/protocol.h"
#include "common/version.h"

#include <algorithm>
#include <set>

namespace vantorel::VantorelBridgeCompatibility {

bool isOutdated(std::string_view version) { return version::isOlder(version, bridge::minimumVersion); }

bool hasRequiredCapabilities(const std::vector<std::string>& capabilities) {
    std::set<std::string_view> announced(capabilities.begin(), capabilities.end());
    return std::all_of(bridge::requiredCapabilities.begin(), bridge::requiredCapabilities.end(),
                       [&](std::string_view name) { return announced.count(name) > 0; });
}

bool supports(std::string_view version, const std::vector<std::string>& capabilities) {
    return !isOutdated(version) && hasRequiredCapabilities(capabilities);
}

}  // namespace vantorel::VantorelBridgeCompatibility
