// The preferred agent, kept under "Vantorel.preferredAgent" in the app's
// preferences file (one JSON object; other keys are kept as they are).
#pragma once

#include "agent/agent_types.h"

#include <optional>

namespace vantorel {

// The stored raw value when it names an agent; an unreadable file, another
// type or an unknown name count as none.
std::optional<VantorelAgent> preferredAgent();
// Stores the agent's raw value. A preferences file that cannot be written
// leaves the previous choice; the caller's action (a connection) has
// succeeded regardless, so nothing is thrown.
void remember(VantorelAgent agent);

}  // namespace vantorel
