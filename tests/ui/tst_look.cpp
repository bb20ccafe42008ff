// The colours of both looks: every text reads at 4.5:1 or more against what it is drawn on, and the edges of
// controls and the focus ring stand out at 3:1 or more; and the parts Qt draws follow a change of look.
#include "ui/SornPalette.h"
#include "ui/StockLook.h"

#include <QApplication>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QTest>
#include <QTextLayout>
#include <QToolTip>

using namespace quilvant;
using namespace Qt::Literals::StringLiterals;

class TestLook : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void contrast_data()
    {
        QTest::addColumn<QColor>("foreground");
        QTest::addColumn<QColor>("background");
        QTest::addColumn<double>("minimum");
        constexpr double text = 4.5;
        constexpr double control = 3.0;
        for (const bool dark : {false, true}) {
            const Theme theme = Theme::forLook(dark);
            const QPalette palette = theme.widgetPalette();
            const QColor card = theme.opaqueMaterial();
            const auto row = [dark](const char* name) -> QTestData& {
                return QTest::newRow(qPrintable(QString::fromLatin1(name) + (dark ? u", dark"_s : u", light"_s)));
            };
            row("card: translation") << theme.primary << card << text;
            row("card: status line and captions") << theme.secondary << card << text;
            row("card: empty-state hint") << theme.tertiary << card << text;
            row("card: error line") << theme.warning << card << text;
            row("card: icon buttons") << theme.ink(0.58) << card << control;
            row("card: Translate on the accent") << QColor(Qt::white) << SornPalette::accent() << text;
            row("card: copy notice") << theme.accentInk() << theme.window << text;
            row("settings: captions on the window") << theme.secondary << theme.window << text;
            row("settings: captions in a section") << theme.secondary << theme.grouped << text;
            row("settings: field text") << palette.color(QPalette::Text) << palette.color(QPalette::Base) << text;
            row("settings: placeholder") << palette.color(QPalette::PlaceholderText) << palette.color(QPalette::Base)
                                         << text;
            row("settings: button text") << palette.color(QPalette::ButtonText) << theme.button << text;
            row("settings: disabled button text") << theme.disabledText << theme.button << text;
            row("settings: disabled text on the window") << theme.disabledText << theme.window << text;
            row("selection") << palette.color(QPalette::HighlightedText) << palette.color(QPalette::Highlight) << text;
            row("tool tip") << palette.color(QPalette::ToolTipText) << palette.color(QPalette::ToolTipBase) << text;
            row("edges on the window") << theme.outline << theme.window << control;
            row("edges in a section") << theme.outline << theme.grouped << control;
            row("focus ring in a section") << theme.accentInk() << theme.grouped << control;
            row("focus ring on the window") << theme.accentInk() << theme.window << control;
            row("switch turned on") << theme.accentInk() << theme.grouped << control;
            row("switch knob when on") << (dark ? theme.grouped : QColor(Qt::white)) << theme.accentInk() << control;
        }
    }

    void contrast()
    {
        QFETCH(QColor, foreground);
        QFETCH(QColor, background);
        QFETCH(double, minimum);
        const double ratio = Theme::contrast(foreground, background);
        QVERIFY2(
            ratio >= minimum,
            qPrintable(
                u"%1:1 (%2 on %3)"_s.arg(ratio, 0, 'f', 2).arg(foreground.name(QColor::HexArgb), background.name())));
    }

    // Without a portal the desktop's palette tells the look; a menu (the tray's) and tool tips follow its change.
    void stockPartsFollowAChangeOfLook()
    {
        const QPalette desktop = QApplication::palette();
        QMenu menu;
        StockLook::follow(&menu);
        QCOMPARE(menu.palette().color(QPalette::Window), Theme::forLook(false).window);
        QPalette dark = desktop;
        dark.setColor(QPalette::Window, QColor(30, 30, 30));
        QApplication::setPalette(dark);
        QCOMPARE(menu.palette().color(QPalette::Window), Theme::forLook(true).window);
        QCOMPARE(QToolTip::palette().color(QPalette::ToolTipText),
                 Theme::forLook(true).widgetPalette().color(QPalette::ToolTipText));
        QApplication::setPalette(desktop);
        QCOMPARE(menu.palette().color(QPalette::Window), Theme::forLook(false).window);
    }

    // A message box's Chinese or Japanese text wraps after its punctuation only, at the width the box gives it.
    void wrapsBetweenClauses_data()
    {
        QTest::addColumn<QString>("text");
        QTest::newRow("Chinese")
            << u"原文和译文会发送至外部内容安全审核服务，并由你选择的翻译服务处理；截图不会上传。"_s;
        QTest::newRow("Japanese")
            << u"原文と訳文は外部の内容安全審査サービスに送られ、選んだ翻訳サービスで処理されます。"
               u"スクリーンショットはアップロードされません。"_s;
    }
    void wrapsBetweenClauses()
    {
        QFETCH(QString, text);
        QMessageBox box;
        box.setInformativeText(text);
        StockLook::fitInformativeText(&box);
        const auto* label = box.findChild<QLabel*>(u"qt_msgbox_informativelabel"_s);
        QVERIFY(label != nullptr);
        QTextLayout layout(label->text(), label->font());
        QTextOption option;
        option.setWrapMode(QTextOption::WordWrap);
        layout.setTextOption(option);
        layout.beginLayout();
        QStringList lines;
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(label->minimumWidth());
            lines << label->text().mid(line.textStart(), line.textLength()).remove(QChar(0x2060));
        }
        layout.endLayout();
        QVERIFY2(lines.size() > 1, qPrintable(lines.join(u'|')));
        for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
            QVERIFY2(QStringLiteral("，；。、").contains(lines[i].back()), qPrintable(lines.join(u'|')));
        }
        QCOMPARE(lines.join(QString()), text);
    }

    // The measure itself, at its known points.
    void contrastScale()
    {
        QCOMPARE(Theme::contrast(Qt::black, Qt::white), 21.0);
        QCOMPARE(Theme::contrast(Qt::white, Qt::white), 1.0);
        QVERIFY(qAbs(Theme::contrast(QColor(118, 118, 118), Qt::white) - 4.54) < 0.01);
        // Half-transparent black over white is the mid grey it blends to.
        QCOMPARE(Theme::contrast(QColor(0, 0, 0, 128), Qt::white), Theme::contrast(QColor(127, 127, 127), Qt::white));
    }
};

QTEST_MAIN(TestLook)
#include "tst_look.moc"
