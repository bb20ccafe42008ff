#pragma once

#include <QString>
#include <QStringView>

namespace quilvant {

// The part of a growing model answer that a user may see, kept up to date as pieces arrive: complete
// <think>…</think> blocks removed, an unterminated block hidden to the end, a "<think>" formed across a removed
// block cutting everything after it, a tag still arriving hidden, white space trimmed at both ends. It is the
// answer's text outside the blocks read once, left to right, so an append costs time in proportion to the
// piece (and to what it uncovers), never to the answer so far.
class VisibleText
{
public:
    // Adds the next piece of the answer; true when the visible text changed.
    bool append(QStringView piece);
    // What a user may see now. Every value it takes is a prefix of the answer's kept text (below), so two values
    // of the same length are equal.
    const QString& text() const { return m_visible; }

private:
    enum class State
    {
        Outside, // reading the answer between blocks
        Inside,  // inside a block, looking for its end
        Cut,     // a "<think>" formed across a removed block: nothing after it is ever shown
    };

    void read(QChar c);
    void keep(QChar c);
    qsizetype visibleEnd() const;

    State m_state = State::Outside;
    int m_opening = 0; // characters of "<think>" just read outside a block, not yet kept
    int m_closing = 0; // characters of "</think>" just read inside a block

    // The kept text is the answer outside complete blocks, leading white space dropped: m_visible + m_rest.
    QString m_visible;          // its visible part, a prefix of it
    QString m_rest;             // the rest: trailing white space, a tag still arriving
    qsizetype m_kept = 0;       // its length
    qsizetype m_contentEnd = 0; // after its last character that is not white space
    int m_tag = 0;              // characters of "<think>" it ends with
    qsizetype m_beforeTag = 0;  // m_contentEnd before that tag began
    qsizetype m_cutEnd = 0;     // where the visible text ends should that tag complete
};

} // namespace quilvant
