// The version and capability gate a bridge must pass before a client uses it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vantorel::VantorelBridgeCompatibility {

// True when version is not older than the minimum and every required
// capability is announced; extra capabilities are ignored.
bool supports(std::string_view version, const std::vector<std::string>& capabilities);
bool hasRequiredCapabilities(const std::vector<std::string>& capabilities);
bool isOutdated(std::string_view version);

}  // namespace vantorel::VantorelBridgeCompatibility
