#include "recognition/LineBands.h"

#include <QPainter>
#include <QTest>

using namespace quilvant;

namespace {

struct Bar
{
    int top;
    int height;
};

// A 200-pixel-wide grey image of `height` with a dark bar for each of `bars`.
QImage barsImage(int height, const QList<Bar>& bars, int ground = 255, int ink = 0)
{
    QImage image(200, height, QImage::Format_Grayscale8);
    image.fill(ground);
    QPainter painter(&image);
    for (const Bar& bar : bars) {
        painter.fillRect(QRect(20, bar.top, 120, bar.height), QColor(ink, ink, ink));
    }
    return image;
}

} // namespace

class TestLineBands : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void bands_data()
    {
        QTest::addColumn<QImage>("image");
        QTest::addColumn<QList<int>>("inkTops"); // top of the ink each band must hold, in order
        QTest::addColumn<QList<bool>>("crowded");

        QTest::newRow("blank") << barsImage(100, {}) << QList<int>{} << QList<bool>{};
        QTest::newRow("too faint to be ink") << barsImage(100, {{40, 20}}, 250, 225) << QList<int>{} << QList<bool>{};
        QTest::newRow("one line") << barsImage(100, {{40, 20}}) << QList<int>{40} << QList<bool>{false};
        QTest::newRow("two lines top to bottom")
            << barsImage(120, {{20, 20}, {70, 20}}) << QList<int>{20, 70} << QList<bool>{false, false};
        QTest::newRow("accent row joins its line")
            << barsImage(100, {{30, 3}, {36, 24}}) << QList<int>{30} << QList<bool>{false};
        QTest::newRow("underline joins the line above")
            << barsImage(100, {{30, 24}, {57, 2}}) << QList<int>{30} << QList<bool>{false};
        QTest::newRow("touching lines are crowded") << barsImage(200, {{10, 20}, {50, 60}, {130, 20}})
                                                    << QList<int>{10, 50, 130} << QList<bool>{false, true, false};
        QTest::newRow("light text on a dark ground")
            << barsImage(100, {{40, 20}}, 30, 230) << QList<int>{40} << QList<bool>{false};
    }

    void rules_data()
    {
        QTest::addColumn<QImage>("image");
        QTest::addColumn<int>("lines");
        QTest::addColumn<bool>("erased");

        // A text field's border around two lines joins them into one band unless it is erased.
        QImage framed = barsImage(120, {{20, 20}, {70, 20}});
        {
            QPainter painter(&framed);
            painter.setPen(Qt::black);
            painter.drawRect(framed.rect().adjusted(2, 2, -3, -3));
        }
        QTest::newRow("frame around two lines") << framed << 2 << true;

        QImage underlined = barsImage(100, {{30, 24}});
        {
            QPainter painter(&underlined);
            painter.fillRect(QRect(0, 96, 200, 2), Qt::black);
            painter.fillRect(QRect(0, 2, 200, 2), Qt::black);
        }
        QTest::newRow("rules above and below one line") << underlined << 1 << true;

        // A tight crop of one tall character: its stem spans the height, but erasing it separates nothing.
        QImage stem = barsImage(40, {{0, 40}});
        {
            QPainter painter(&stem);
            painter.fillRect(QRect(150, 0, 3, 40), Qt::black);
        }
        QTest::newRow("a stem is not a rule") << stem << 1 << false;
    }

    void rules()
    {
        QFETCH(QImage, image);
        QFETCH(int, lines);
        QFETCH(bool, erased);
        const QImage before = image;
        const QList<LineBands::Band> bands = LineBands::findLines(image);
        QCOMPARE(bands.size(), lines);
        QCOMPARE(image != before, erased);
    }

    void bands()
    {
        QFETCH(QImage, image);
        QFETCH(QList<int>, inkTops);
        QFETCH(QList<bool>, crowded);

        const QImage normal = LineBands::normalized(image);
        QVERIFY2(qGray(normal.pixel(0, 0)) > 128, "the ground must come out light");
        const QList<LineBands::Band> bands = LineBands::find(normal);
        QCOMPARE(bands.size(), inkTops.size());
        for (qsizetype i = 0; i < bands.size(); ++i) {
            QVERIFY2(bands[i].top < inkTops[i] && inkTops[i] < bands[i].top + bands[i].height,
                     qPrintable(QStringLiteral("band %1 at %2+%3").arg(i).arg(bands[i].top).arg(bands[i].height)));
            QCOMPARE(bands[i].crowded, crowded[i]);
            QVERIFY(bands[i].top >= 0 && bands[i].top + bands[i].height <= image.height());
            if (i > 0) {
                QVERIFY2(bands[i - 1].top + bands[i - 1].height <= bands[i].top, "lines overlap");
            }
        }
    }
};

QTEST_GUILESS_MAIN(TestLineBands)
#include "tst_linebands.moc"
