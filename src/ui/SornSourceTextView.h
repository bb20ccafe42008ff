#pragma once

#include <QPlainTextEdit>
#include <functional>

class QMimeData;

namespace quilvant {

// The card's editable source text: plain text only, with undo. Pasting into an empty field, or over the whole
// text, hands the resulting text to onEmptyPaste so that it is translated at once; any other paste is an
// ordinary edit. Rich text arrives as its plain text.
class SornSourceTextView final : public QPlainTextEdit
{
    Q_OBJECT

public:
    explicit SornSourceTextView(QWidget* parent = nullptr);

    // Called with the full text after a paste into an empty field or over the whole text, unless that text is
    // blank.
    void setOnEmptyPaste(std::function<void(const QString&)> callback) { m_onEmptyPaste = std::move(callback); }

    // Shows `text` unless the view already holds exactly that, so that the cursor, the selection and the undo
    // history survive every redraw that does not change the text. Not reported as an edit.
    void showText(const QString& text);

    // The paste rule, applied to `source` as if it were the clipboard: a paste of the clipboard, a paste as plain
    // text and a drop all come here. Does nothing when `source` holds no text.
    void pasteFrom(const QMimeData* source);

    // The plain text of `source`: its text, or the text of its HTML when it carries only that; empty otherwise.
    static QString plainTextOf(const QMimeData* source);

    // Relabels the accessible name in the current interface language.
    void retranslate();

Q_SIGNALS:
    // The person changed the text (typing, deleting, pasting, undo); never emitted for showText().
    void edited(const QString& text);

protected:
    bool canInsertFromMimeData(const QMimeData* source) const override;
    void insertFromMimeData(const QMimeData* source) override;
    QMimeData* createMimeDataFromSelection() const override;

private:
    std::function<void(const QString&)> m_onEmptyPaste;
    bool m_updating = false;
};

} // namespace quilvant
