#include "service/TermList.h"

#include "service/Files.h"

#include <unicode/normalizer2.h>
#include <unicode/unistr.h>

namespace quilvant::service {

namespace {

bool latinWordByte(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Whether the bytes right before `begin` and at `end` of `text` let a match of `term` stand there.
bool atBoundaries(std::string_view text, std::size_t begin, std::size_t end, std::string_view term)
{
    const auto first = static_cast<unsigned char>(term.front());
    const auto last = static_cast<unsigned char>(term.back());
    if (latinWordByte(first) && begin > 0 && latinWordByte(static_cast<unsigned char>(text[begin - 1]))) {
        return false;
    }
    if (latinWordByte(last) && end < text.size() && latinWordByte(static_cast<unsigned char>(text[end]))) {
        return false;
    }
    return true;
}

} // namespace

std::string foldText(std::string_view text)
{
    UErrorCode status = U_ZERO_ERROR;
    const icu::Normalizer2* folding = icu::Normalizer2::getNFKCCasefoldInstance(status);
    const icu::UnicodeString source =
        icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
    icu::UnicodeString folded;
    if (U_SUCCESS(status)) {
        folded = folding->normalize(source, status);
    }
    if (U_FAILURE(status)) {
        folded = source;
    }
    std::string result;
    folded.toUTF8String(result);
    return result;
}

std::size_t codePoints(std::string_view text)
{
    std::size_t count = 0;
    for (const char c : text) {
        // Every byte that does not continue a sequence starts a code point.
        count += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    }
    return count;
}

TermList TermList::fromText(std::string_view text)
{
    TermList list;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) {
            line.remove_suffix(1);
        }
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) {
            line.remove_prefix(1);
        }
        if (line.empty() || line.front() == '#') {
            continue;
        }
        std::string folded = foldText(line);
        if (!folded.empty()) {
            list.m_terms.push_back(std::move(folded));
        }
    }
    return list;
}

std::optional<TermList> TermList::load(const std::string& path, std::string* error)
{
    FileText text = readSmallFile(path, 16 << 20);
    if (!text) {
        if (error != nullptr) {
            *error = text.error;
        }
        return std::nullopt;
    }
    return fromText(text.value);
}

bool TermList::matches(std::string_view text) const
{
    return !m_terms.empty() && matchesFolded(foldText(text));
}

bool TermList::matchesFolded(std::string_view folded) const
{
    for (const std::string& term : m_terms) {
        for (std::size_t at = folded.find(term); at != std::string_view::npos; at = folded.find(term, at + 1)) {
            if (atBoundaries(folded, at, at + term.size(), term)) {
                return true;
            }
        }
    }
    return false;
}

} // namespace quilvant::service
