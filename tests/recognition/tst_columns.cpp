#include "recognition/Columns.h"
#include "recognition/LineBands.h"
#include "support/DrawnText.h"

#include <QPainter>
#include <QTest>

using namespace quilvant;
using test::DrawnText;

Q_DECLARE_METATYPE(DrawnText)

namespace {

QImage asRecognitionSeesIt(const QImage& image)
{
    return LineBands::normalized(image.convertToFormat(QImage::Format_Grayscale8));
}

const QString kSans = QStringLiteral("Noto Sans CJK JP");
const QString kSerif = QStringLiteral("Noto Serif CJK SC");

} // namespace

class TestColumns : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void tellsColumnsFromRows_data()
    {
        QTest::addColumn<DrawnText>("text");
        QTest::addColumn<int>("columns"); // 0: rows

        const auto columns = [](QStringList lines, int size, QString family = kSans, bool dark = false) {
            return DrawnText{std::move(lines), size, std::move(family), dark, true};
        };
        const auto rows = [](QStringList lines, int size, double spacing, QString family = kSans) {
            return DrawnText{std::move(lines), size, std::move(family), false, false, spacing};
        };
        const QStringList novel = {QStringLiteral("吾輩は猫である。"), QStringLiteral("名前はまだ無い。"),
                                   QStringLiteral("どこで生れたかとんと"), QStringLiteral("見当がつかぬ。")};
        const QStringList chinese = {QStringLiteral("保持好奇，发现新的世界。"),
                                     QStringLiteral("这个国家的经济发展很快。")};
        QTest::newRow("one column") << columns({QStringLiteral("新しい世界を見つけましょう。")}, 16) << 1;
        QTest::newRow("four columns, small serif") << columns(novel, 14, QStringLiteral("Noto Serif CJK JP")) << 4;
        QTest::newRow("two Chinese columns, dark") << columns(chinese, 20, kSerif, true) << 2;
        QTest::newRow("columns set close") << DrawnText{chinese, 16, kSans, false, true, 1.4} << 2;
        // A grid of characters reads either way: rows are told by their gaps, wider than those between characters.
        QTest::newRow("rows of Chinese, tightly set") << rows(chinese, 16, 1.2, kSerif) << 0;
        QTest::newRow("rows of four lines") << rows(novel, 18, 1.5) << 0;
        QTest::newRow("a stack of short labels")
            << rows({QStringLiteral("设置"), QStringLiteral("帮助"), QStringLiteral("关于")}, 14, 1.3) << 0;
        QTest::newRow("a stack of single characters")
            << rows({QStringLiteral("设"), QStringLiteral("帮"), QStringLiteral("关")}, 16, 1.3) << 0;
        QTest::newRow("one line") << rows({QStringLiteral("新しい世界を見つけましょう。")}, 16, 1.5) << 0;
        QTest::newRow("large French, accents over letters")
            << rows({QStringLiteral("La curiosité ouvre de nouvelles portes.")}, 44, 1.5, QString()) << 0;
        QTest::newRow("English lines") << rows({QStringLiteral("Keep reading and stay curious."), QStringLiteral("OK")},
                                               16, 1.3, QString())
                                       << 0;
    }

    void tellsColumnsFromRows()
    {
        QFETCH(DrawnText, text);
        QFETCH(int, columns);
        const QImage grey = asRecognitionSeesIt(test::draw(text));
        const QList<Columns::Column> found = Columns::findVertical(grey, LineBands::find(grey));
        QCOMPARE(found.size(), columns);
        for (qsizetype i = 1; i < found.size(); ++i) {
            QVERIFY2(found[i].left + found[i].width <= found[i - 1].left, "right to left, apart");
        }
    }

    void furiganaAreLeftOut()
    {
        // Readings in small kana beside each column are not columns of their own, and no column reaches into them.
        DrawnText text{{QStringLiteral("漢字を読む"), QStringLiteral("東京に行く")}, 20, kSans, false, true, 2.2};
        QImage image = test::draw(text);
        const DrawnText ruby{{QStringLiteral("かんじ"), QStringLiteral("とうきょう")}, 10, kSans, false, true, 4.4};
        const QImage small = test::draw(ruby);
        {
            QPainter painter(&image);
            // Both images set their columns 44 pixels apart: this puts each reading one pixel right of its column,
            // beside its first two characters.
            painter.setCompositionMode(QPainter::CompositionMode_Darken);
            painter.drawImage(QPoint(41, 20), small);
        }
        const QImage grey = asRecognitionSeesIt(image);
        const QList<Columns::Column> found = Columns::findVertical(grey, LineBands::find(grey));
        QCOMPARE(found.size(), 2);
        for (const Columns::Column& column : found) {
            QVERIFY(column.inkWidth > 12); // the readings' are 9 wide
        }
    }
};

QTEST_MAIN(TestColumns)
#include "tst_columns.moc"
