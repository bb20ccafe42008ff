#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A list of terms to look for in text (the block and review lists). Terms and text are compared after Unicode
// NFKC normalisation with case folding (which also drops default-ignorable characters such as zero-width
// joiners), so "ＢＡＤ", "bad" and "b\u200Bad" are the same term. A term matches anywhere in the text, except
// that an edge of a term made of a Latin letter or digit must not touch another letter or digit ("ass" does not
// match "class").
namespace quilvant::service {

// The NFKC case-folded form of UTF-8 `text`; invalid bytes become U+FFFD.
std::string foldText(std::string_view text);

// The number of code points of valid UTF-8 `text`.
std::size_t codePoints(std::string_view text);

class TermList
{
public:
    TermList() = default;
    // One term per line; blank lines and lines starting with '#' are skipped.
    static TermList fromText(std::string_view text);
    // Reads the list at `path` (at most 16 MB); nothing when it cannot be read (see `error`).
    static std::optional<TermList> load(const std::string& path, std::string* error);

    bool empty() const { return m_terms.empty(); }
    std::size_t size() const { return m_terms.size(); }
    // Whether any term occurs in `text` (UTF-8, folded here).
    bool matches(std::string_view text) const;
    bool matchesFolded(std::string_view folded) const;

private:
    std::vector<std::string> m_terms; // folded
};

} // namespace quilvant::service
