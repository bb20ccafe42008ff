#include "recognition/LineBands.h"
#include "recognition/Scripts.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QTest>

using namespace quilvant;
using Scripts::Script;

Q_DECLARE_METATYPE(Scripts::Script)
Q_DECLARE_METATYPE(Scripts::HanForm)

namespace {

// One line of `text` at `pixels`, as recognition sees it: 8-bit grey, dark on light.
QImage line(const QString& text, int pixels)
{
    QFont font;
    font.setPixelSize(pixels);
    const QFontMetricsF metrics(font);
    QImage image(int(metrics.horizontalAdvance(text)) + 80, 3 * pixels, QImage::Format_Grayscale8);
    image.fill(255);
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(Qt::black);
    painter.drawText(QPointF(35, pixels + metrics.ascent()), text);
    return image;
}

} // namespace

class TestScripts : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void guessesFromInk_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("pixels");
        QTest::addColumn<bool>("latin");
        QTest::addColumn<Script>("cjk"); // what amongCjk() makes of ink that does not look Latin
        QTest::addColumn<Scripts::HanForm>("form");

        const auto row = [](const char* tag, const char* text, int pixels, bool latin, Script cjk = Script::Han,
                            Scripts::HanForm form = Scripts::HanForm::Unknown) {
            QTest::newRow(tag) << QString::fromUtf8(text) << pixels << latin << cjk << form;
        };
        using Scripts::HanForm;
        row("English", "Keep reading and stay curious.", 44, true);
        row("small English", "Settings saved: restart required.", 16, true);
        row("French", "Où est le garçon ? Il a déjà mangé.", 24, true);
        row("capitals look like CJK", "WARNING: DISK FULL", 24, false);
        row("Chinese", "保持好奇，发现新的世界。", 44, false, Script::Han, HanForm::Simplified);
        row("small Chinese", "请选择要翻译的区域", 16, false, Script::Han, HanForm::Simplified);
        row("traditional Chinese", "這個國家的經濟發展很快。", 24, false, Script::Han, HanForm::Traditional);
        row("Chinese both scripts write alike", "保持好奇", 24, false);
        row("Japanese", "新しい世界を見つけましょう。", 44, false, Script::Japanese);
        row("a Japanese word", "はい", 44, false, Script::Japanese);
        row("Japanese without kana, in the older forms", "東京都庁", 44, false, Script::Han, HanForm::Traditional);
        row("Korean", "새로운 세상을 발견하세요.", 24, false, Script::Hangul);
        row("a Korean word", "확인", 44, false, Script::Hangul);
    }

    void guessesFromInk()
    {
        QFETCH(QString, text);
        QFETCH(int, pixels);
        QFETCH(bool, latin);
        QFETCH(Script, cjk);
        QFETCH(Scripts::HanForm, form);
        const QImage grey = line(text, pixels);
        const QList<LineBands::Band> bands = LineBands::find(grey);
        QCOMPARE(bands.size(), 1);
        QCOMPARE(Scripts::looksLatin(grey, bands), latin);
        if (!latin) {
            const Scripts::CjkGuess guess = Scripts::guessCjk(grey, bands);
            QCOMPARE(guess.script, cjk);
            QCOMPARE(guess.form, form);
        }
    }

    void countsLetters_data()
    {
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<Script>("mostly");
        QTest::addColumn<double>("shareOfMostly");

        QTest::newRow("Latin") << QStringList{QStringLiteral("Où est-il ?")} << Script::Latin << 1.0;
        QTest::newRow("Han") << QStringList{QStringLiteral("保持好奇，发现新的世界。")} << Script::Han << 1.0;
        QTest::newRow("kana among Han is Japanese")
            << QStringList{QStringLiteral("新しい世界")} << Script::Japanese << 1.0;
        QTest::newRow("Hangul over two lines")
            << QStringList{QStringLiteral("새로운"), QStringLiteral("세상을")} << Script::Hangul << 1.0;
        QTest::newRow("Han among more Latin letters")
            << QStringList{QStringLiteral("打开 Settings 菜单")} << Script::Latin << 8.0 / 12.0;
        QTest::newRow("no letters") << QStringList{QStringLiteral("12:30 — 100%")} << Script::Unknown << 0.0;
        QTest::newRow("letters of no script we read")
            << QStringList{QStringLiteral("Привет")} << Script::Unknown << 0.0;
    }

    void countsLetters()
    {
        QFETCH(QStringList, lines);
        QFETCH(Script, mostly);
        QFETCH(double, shareOfMostly);
        const Scripts::Letters letters = Scripts::lettersOf(lines);
        QCOMPARE(letters.mostly(), mostly);
        QCOMPARE(letters.shareOf(mostly), shareOfMostly);
    }
};

QTEST_MAIN(TestScripts)
#include "tst_scripts.moc"
