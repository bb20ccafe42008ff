#include "capture/LineBands.h"

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
