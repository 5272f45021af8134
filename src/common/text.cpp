#include "common/text.h"

#include <unicode/brkiter.h>
#include <unicode/locid.h>
#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include <memory>

namespace vantorel::text {

namespace {

icu::UnicodeString fromUtf8(std::string_view text) {
    return icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

std::string toUtf8(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

icu::UnicodeString trimmed(const icu::UnicodeString& text) {
    int32_t start = 0;
    int32_t end = text.length();
    while (start < end) {
        UChar32 c = text.char32At(start);
        if (!u_isUWhiteSpace(c)) break;
        start += U16_LENGTH(c);
    }
    while (end > start) {
        UChar32 c = text.char32At(end - 1);
        if (!u_isUWhiteSpace(c)) break;
        end -= U16_LENGTH(c);
    }
    return text.tempSubStringBetween(start, end);
}

// Decompose, drop the combining marks, fold case, recompose.
icu::UnicodeString folded(const icu::UnicodeString& text) {
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
    const icu::Normalizer2* nfc = icu::Normalizer2::getNFCInstance(status);
    if (U_FAILURE(status)) return text;
    icu::UnicodeString decomposed = nfd->normalize(text, status);
    if (U_FAILURE(status)) return text;
    icu::UnicodeString stripped;
    stripped.getBuffer(decomposed.length());
    stripped.releaseBuffer(0);
    for (int32_t i = 0; i < decomposed.length();) {
        UChar32 c = decomposed.char32At(i);
        if (u_charType(c) != U_NON_SPACING_MARK) stripped.append(c);
        i += U16_LENGTH(c);
    }
    stripped.foldCase(U_FOLD_CASE_DEFAULT);
    icu::UnicodeString composed = nfc->normalize(stripped, status);
    return U_FAILURE(status) ? stripped : composed;
}

// Creating a break iterator loads rules; each thread keeps its own, since
// iterators are not safe to share.
icu::BreakIterator* characterIterator() {
    thread_local std::unique_ptr<icu::BreakIterator> iterator = [] {
        UErrorCode status = U_ZERO_ERROR;
        std::unique_ptr<icu::BreakIterator> created(
            icu::BreakIterator::createCharacterInstance(icu::Locale::getRoot(), status));
        if (U_FAILURE(status)) created.reset();
        return created;
    }();
    return iterator.get();
}

}  // namespace

std::string trim(std::string_view text) { return toUtf8(trimmed(fromUtf8(text))); }

std::string fold(std::string_view text) { return toUtf8(folded(fromUtf8(text))); }

std::string lower(std::string_view text) {
    icu::UnicodeString value = fromUtf8(text);
    value.toLower(icu::Locale::getRoot());
    return toUtf8(value);
}

std::string normalized(std::string_view text) {
    icu::UnicodeString value = folded(trimmed(fromUtf8(text)));
    value.toLower(icu::Locale::getRoot());
    return toUtf8(value);
}

std::size_t graphemeCount(std::string_view text) {
    icu::UnicodeString value = fromUtf8(text);
    icu::BreakIterator* iterator = characterIterator();
    if (iterator == nullptr) return static_cast<std::size_t>(value.countChar32());
    iterator->setText(value);
    std::size_t count = 0;
    for (int32_t p = iterator->next(); p != icu::BreakIterator::DONE; p = iterator->next()) ++count;
    return count;
}

std::string graphemePrefix(std::string_view text, std::size_t count) {
    icu::UnicodeString value = fromUtf8(text);
    icu::BreakIterator* iterator = characterIterator();
    if (iterator == nullptr) return toUtf8(value.tempSubString(0, value.moveIndex32(0, static_cast<int32_t>(count))));
    iterator->setText(value);
    int32_t end = 0;
    for (std::size_t taken = 0; taken < count; ++taken) {
        int32_t next = iterator->next();
        if (next == icu::BreakIterator::DONE) break;
        end = next;
    }
    return toUtf8(value.tempSubString(0, end));
}

}  // namespace vantorel::text
