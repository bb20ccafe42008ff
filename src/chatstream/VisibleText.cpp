#include "chatstream/VisibleText.h"

namespace quilvant {

namespace {

constexpr char16_t openTag[] = u"<think>";
constexpr char16_t closeTag[] = u"</think>";
constexpr int openLength = 7;
constexpr int closeLength = 8;

} // namespace

bool VisibleText::append(QStringView piece)
{
    const qsizetype before = m_visible.size();
    for (const QChar c : piece) {
        if (m_state == State::Cut) {
            break;
        }
        read(c);
    }
    const qsizetype end = visibleEnd();
    if (end > m_visible.size()) {
        const qsizetype moved = end - m_visible.size();
        m_visible.append(QStringView(m_rest).first(moved));
        m_rest.remove(0, moved);
    } else if (end < m_visible.size()) {
        m_rest.prepend(QStringView(m_visible).sliced(end));
        m_visible.truncate(end);
    }
    if (m_state == State::Cut) {
        m_rest = QString(); // never shown
    }
    return m_visible.size() != before;
}

void VisibleText::read(QChar c)
{
    if (m_state == State::Inside) {
        if (c == closeTag[m_closing]) {
            if (++m_closing == closeLength) {
                m_state = State::Outside;
                m_closing = 0;
            }
        } else {
            m_closing = c == u'<' ? 1 : 0; // '<' begins the tag and occurs nowhere else in it
        }
        return;
    }
    if (c == openTag[m_opening]) {
        if (++m_opening == openLength) {
            m_state = State::Inside;
            m_opening = 0;
        }
        return;
    }
    // What was read of an opening tag is ordinary text after all.
    for (int i = 0; i < m_opening; ++i) {
        keep(openTag[i]);
    }
    m_opening = 0;
    if (c == u'<') {
        m_opening = 1;
    } else {
        keep(c);
    }
}

void VisibleText::keep(QChar c)
{
    if (m_kept == 0 && c.isSpace()) {
        return; // leading white space is never shown
    }
    // The kept text may form "<think>" of its own where a removed block joined its two sides.
    if (c == u'<') {
        m_cutEnd = m_tag > 0 ? m_beforeTag : m_contentEnd;
        m_beforeTag = m_contentEnd;
        m_tag = 1;
    } else if (m_tag > 0 && c == openTag[m_tag]) {
        if (++m_tag == openLength) {
            m_state = State::Cut;
        }
    } else {
        m_tag = 0;
    }
    m_rest.append(c);
    ++m_kept;
    if (!c.isSpace()) {
        m_contentEnd = m_kept;
    }
}

qsizetype VisibleText::visibleEnd() const
{
    if (m_state == State::Cut) {
        return m_cutEnd;
    }
    // A tag at the end of the kept text is hidden, unless another one is being read after it: then the text
    // that tag belongs to ends with the one being read, and only that one is hidden.
    const bool tagHidden = m_state == State::Inside || m_opening == 0;
    return tagHidden && m_tag > 0 ? m_beforeTag : m_contentEnd;
}

} // namespace quilvant
