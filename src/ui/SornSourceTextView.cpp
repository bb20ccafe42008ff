#include "ui/SornSourceTextView.h"

#include "foundation/L.h"

#include <QMimeData>
#include <QTextCursor>
#include <QTextDocumentFragment>

namespace quilvant {

SornSourceTextView::SornSourceTextView(QWidget* parent)
    : QPlainTextEdit(parent)
{
    setUndoRedoEnabled(true);
    setFrameShape(QFrame::NoFrame);
    setLineWrapMode(QPlainTextEdit::WidgetWidth);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    setVerticalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    setTabChangesFocus(true);
    document()->setDocumentMargin(10);
    QFont font = this->font();
    font.setPixelSize(14);
    setFont(font);
    retranslate();
    connect(this, &QPlainTextEdit::textChanged, this, [this] {
        if (!m_updating) {
            Q_EMIT edited(toPlainText());
        }
    });
}

void SornSourceTextView::retranslate()
{
    setAccessibleName(L::t(QStringLiteral("原文，可编辑；清空后粘贴自动翻译")));
}

void SornSourceTextView::showText(const QString& text)
{
    if (toPlainText() == text) {
        return;
    }
    m_updating = true;
    setPlainText(text);
    m_updating = false;
}

QString SornSourceTextView::plainTextOf(const QMimeData* source)
{
    if (source == nullptr) {
        return {};
    }
    if (source->hasText()) {
        return source->text();
    }
    if (source->hasHtml()) {
        return QTextDocumentFragment::fromHtml(source->html()).toPlainText();
    }
    return {};
}

void SornSourceTextView::pasteFrom(const QMimeData* source)
{
    const QString pasted = plainTextOf(source);
    if (pasted.isEmpty()) {
        return; // images and other content are not text
    }
    const QString before = toPlainText();
    const bool wasEmpty = before.trimmed().isEmpty();
    QTextCursor cursor = textCursor();
    const bool wholeSelected = cursor.selectionStart() == 0 && cursor.selectionEnd() == before.size();
    // One edit block: a single undo removes the paste, and the edit is reported like any other.
    cursor.beginEditBlock();
    cursor.insertText(pasted);
    cursor.endEditBlock();
    setTextCursor(cursor);
    ensureCursorVisible();
    if ((wasEmpty || wholeSelected) && m_onEmptyPaste) {
        const QString result = toPlainText();
        if (!result.trimmed().isEmpty()) {
            m_onEmptyPaste(result);
        }
    }
}

bool SornSourceTextView::canInsertFromMimeData(const QMimeData* source) const
{
    return source != nullptr && (source->hasText() || source->hasHtml());
}

void SornSourceTextView::insertFromMimeData(const QMimeData* source)
{
    pasteFrom(source);
}

QMimeData* SornSourceTextView::createMimeDataFromSelection() const
{
    // Copies carry plain text only, as the field holds nothing else.
    auto* copied = new QMimeData;
    copied->setText(textCursor().selection().toPlainText());
    return copied;
}

} // namespace quilvant
