// Random (version 4) UUIDs from the kernel's random source, for plan, step
// and signal ids and for request ids.
#pragma once

#include <string>

namespace vantorel::uuid {

// Canonical 36-character form in upper case, "E621E1F8-C36C-495A-93FC-0C247A3E6E5F".
std::string upper();
// The same form in lower case.
std::string lower();

}  // namespace vantorel::uuid
