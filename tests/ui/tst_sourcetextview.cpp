// The source field's paste rule, its update rule and what it reports as edits, on a real widget.
#include "foundation/Settings.h"
#include "ui/SornSourceTextView.h"

#include <QClipboard>
#include <QMimeData>
#include <QSignalSpy>
#include <QTest>

using namespace quilvant;
using namespace Qt::Literals::StringLiterals;

namespace {

QMimeData* mime(const QString& kind, const QString& content)
{
    auto* data = new QMimeData;
    if (kind == QStringLiteral("text")) {
        data->setText(content);
    } else if (kind == QStringLiteral("html")) {
        data->setHtml(content);
    } else if (kind == QStringLiteral("image")) {
        data->setData(QStringLiteral("image/png"), content.toUtf8());
    }
    return data;
}

// Selects `length` characters from `start` (a plain cursor when length is 0).
void select(SornSourceTextView& view, int start, int length)
{
    QTextCursor cursor = view.textCursor();
    cursor.setPosition(start);
    cursor.setPosition(start + length, QTextCursor::KeepAnchor);
    view.setTextCursor(cursor);
}

} // namespace

class TestSourceTextView : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void pasteRule_data()
    {
        QTest::addColumn<QString>("before");
        QTest::addColumn<int>("selectionStart");
        QTest::addColumn<int>("selectionLength");
        QTest::addColumn<QString>("kind"); // what the clipboard holds
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("after");
        QTest::addColumn<QStringList>("translated"); // texts handed on for translation

        QTest::newRow("into the empty field") << QString() << 0 << 0 << u"text"_s << u"Paste me once."_s
                                              << u"Paste me once."_s << QStringList{u"Paste me once."_s};
        QTest::newRow("into a field of blanks counts as empty")
            << u" \n"_s << 2 << 0 << u"text"_s << u"abc"_s << u" \nabc"_s << QStringList{u" \nabc"_s};
        QTest::newRow("into the middle only edits")
            << u"Hello world"_s << 5 << 0 << u"text"_s << u","_s << u"Hello, world"_s << QStringList{};
        QTest::newRow("over the whole text")
            << u"old text"_s << 0 << 8 << u"text"_s << u"new"_s << u"new"_s << QStringList{u"new"_s};
        QTest::newRow("over part of the text")
            << u"old text"_s << 0 << 3 << u"text"_s << u"new"_s << u"new text"_s << QStringList{};
        QTest::newRow("blanks into the empty field start nothing")
            << QString() << 0 << 0 << u"text"_s << u"  \n\t"_s << u"  \n\t"_s << QStringList{};
        QTest::newRow("rich text arrives as plain text")
            << QString() << 0 << 0 << u"html"_s << u"<p><b>Bold</b> and <i>plain</i></p>"_s << u"Bold and plain"_s
            << QStringList{u"Bold and plain"_s};
        QTest::newRow("no text at all changes nothing")
            << u"kept"_s << 0 << 4 << u"image"_s << u"\x89PNG"_s << u"kept"_s << QStringList{};
    }

    void pasteRule()
    {
        QFETCH(QString, before);
        QFETCH(int, selectionStart);
        QFETCH(int, selectionLength);
        QFETCH(QString, kind);
        QFETCH(QString, content);
        QFETCH(QString, after);
        QFETCH(QStringList, translated);

        SornSourceTextView view;
        view.showText(before);
        select(view, selectionStart, selectionLength);
        QStringList handedOn;
        view.setOnEmptyPaste([&handedOn](const QString& text) { handedOn.append(text); });
        QSignalSpy edits(&view, &SornSourceTextView::edited);

        const std::unique_ptr<QMimeData> clipboard(mime(kind, content));
        view.pasteFrom(clipboard.get());

        QCOMPARE(view.toPlainText(), after);
        QCOMPARE(handedOn, translated);
        // A paste is an edit like any other, reported once and before the translation starts.
        QCOMPARE(edits.count(), after == before ? 0 : 1);
    }

    // The real paste path (Ctrl+V through the clipboard) follows the same rule, and one undo removes the paste.
    void pasteFromClipboardThenUndo()
    {
        SornSourceTextView view;
        view.show();
        QVERIFY(QTest::qWaitForWindowExposed(&view));
        int triggered = 0;
        view.setOnEmptyPaste([&triggered](const QString&) { ++triggered; });
        QGuiApplication::clipboard()->setText(QStringLiteral("from the clipboard"));
        QTest::keyClick(&view, Qt::Key_V, Qt::ControlModifier);
        QCOMPARE(view.toPlainText(), QStringLiteral("from the clipboard"));
        QCOMPARE(triggered, 1);

        QSignalSpy edits(&view, &SornSourceTextView::edited);
        view.undo();
        QCOMPARE(view.toPlainText(), QString());
        QCOMPARE(edits.count(), 1);
        QCOMPARE(edits.first().first().toString(), QString());
    }

    void typingNeverTranslatesButIsReported()
    {
        SornSourceTextView view;
        int triggered = 0;
        view.setOnEmptyPaste([&triggered](const QString&) { ++triggered; });
        QSignalSpy edits(&view, &SornSourceTextView::edited);
        QTest::keyClicks(&view, QStringLiteral("Typing"));
        QCOMPARE(triggered, 0);
        QCOMPARE(edits.count(), 6);
        QCOMPARE(edits.last().first().toString(), QStringLiteral("Typing"));
    }

    // What the view writes itself is not reported back, and an equal text is never written again, so the
    // cursor, the selection and the undo history survive every redraw.
    void showTextWritesOnlyWhatDiffers()
    {
        SornSourceTextView view;
        QSignalSpy edits(&view, &SornSourceTextView::edited);
        view.showText(QStringLiteral("A sentence to edit."));
        QCOMPARE(edits.count(), 0);

        QTest::keyClicks(&view, QStringLiteral("X"));
        select(view, 2, 8);
        QCOMPARE(edits.count(), 1);
        for (int i = 0; i < 50; ++i) {
            view.showText(QStringLiteral("XA sentence to edit."));
        }
        QCOMPARE(view.textCursor().selectionStart(), 2);
        QCOMPARE(view.textCursor().selectionEnd(), 10);
        QVERIFY(view.document()->isUndoAvailable());
        QCOMPARE(edits.count(), 1);

        view.showText(QStringLiteral("Replaced"));
        QCOMPARE(view.toPlainText(), QStringLiteral("Replaced"));
        QCOMPARE(edits.count(), 1);
    }

    void accessibleNameFollowsTheInterfaceLanguage()
    {
        Settings::setOverride(Settings::Key::uiLanguage, u"en"_s);
        SornSourceTextView view;
        QCOMPARE(view.accessibleName(), u"Source text, editable; paste into an empty field to translate"_s);
        Settings::setOverride(Settings::Key::uiLanguage, u"zh"_s);
        view.retranslate();
        QCOMPARE(view.accessibleName(), u"原文，可编辑；清空后粘贴自动翻译"_s);
        Settings::clearOverrides();
    }
};

QTEST_MAIN(TestSourceTextView)
#include "tst_sourcetextview.moc"
