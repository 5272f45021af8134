// Output of outside programs is shown only when it is valid UTF-8; anything
// else counts as empty rather than reaching the producer as mojibake.
#pragma once

#include <string>
#include <string_view>

namespace vantorel {

bool isValidUtf8(std::string_view bytes);
std::string validUtf8OrEmpty(std::string bytes);

}  // namespace vantorel
