// Normalised text and user-perceived characters.
//
// Every phrase test of the system is a plain substring test on the
// normalised request: trimmed, folded case- and diacritic-insensitively and
// lower-cased, so "Crée une PISTE" and "cree une piste" read the same.
// Apostrophes are left alone: "l’intro" and "l'intro" stay different, as the
// phrase lists spell both where both matter. Lengths the producer sees
// (names, tokens) count grapheme clusters, not bytes or code points.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vantorel::text {

// Removes Unicode white space and line breaks at both ends.
std::string trim(std::string_view text);
// Case- and diacritic-insensitive folding ("Éé" → "ee").
std::string fold(std::string_view text);
// Lower case, locale-independent.
std::string lower(std::string_view text);
// trim, fold, lower: the form every phrase test runs on.
std::string normalized(std::string_view text);

// Number of user-perceived characters (extended grapheme clusters).
std::size_t graphemeCount(std::string_view text);
// The first `count` user-perceived characters of text.
std::string graphemePrefix(std::string_view text, std::size_t count);

inline bool contains(std::string_view haystack, std::string_view needle) {
    return haystack.find(needle) != std::string_view::npos;
}

// Equal once A–Z are lower-cased, every other byte as it is: for file
// extensions and program names, where no locale or ICU is wanted.
inline bool asciiEqualsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

}  // namespace vantorel::text
