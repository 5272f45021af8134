#include "common/version.h"

namespace vantorel::version {

namespace {
bool isDigit(char c) { return c >= '0' && c <= '9'; }
}

int compare(std::string_view a, std::string_view b) {
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (isDigit(a[i]) && isDigit(b[j])) {
            // Compare the digit runs as numbers of any length: skip leading
            // zeros, then the longer run is larger, else the first differing digit.
            while (i < a.size() && a[i] == '0') ++i;
            while (j < b.size() && b[j] == '0') ++j;
            std::size_t startA = i, startB = j;
            while (i < a.size() && isDigit(a[i])) ++i;
            while (j < b.size() && isDigit(b[j])) ++j;
            std::size_t lengthA = i - startA, lengthB = j - startB;
            if (lengthA != lengthB) return lengthA < lengthB ? -1 : 1;
            int order = a.substr(startA, lengthA).compare(b.substr(startB, lengthB));
            if (order != 0) return order < 0 ? -1 : 1;
            continue;
        }
        unsigned char ca = static_cast<unsigned char>(a[i]);
        unsigned char cb = static_cast<unsigned char>(b[j]);
        if (ca != cb) return ca < cb ? -1 : 1;
        ++i;
        ++j;
    }
    if (i < a.size()) return 1;
    if (j < b.size()) return -1;
    return 0;
}

}  // namespace vantorel::version
