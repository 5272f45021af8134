#include "agent/utf8.h"

#include <unicode/utf8.h>

namespace vantorel {

bool isValidUtf8(std::string_view bytes) {
    const auto* data = reinterpret_cast<const uint8_t*>(bytes.data());
    int32_t length = static_cast<int32_t>(bytes.size());
    if (static_cast<std::size_t>(length) != bytes.size()) return false;
    int32_t at = 0;
    while (at < length) {
        UChar32 c;
        U8_NEXT(data, at, length, c);
        if (c < 0) return false;
    }
    return true;
}

std::string validUtf8OrEmpty(std::string bytes) { return isValidUtf8(bytes) ? std::move(bytes) : std::string(); }

}  // namespace vantorel
