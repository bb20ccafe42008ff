#include "support/ChildProcess.h"

#include <QDir>
#include <QFile>
#include <QFont>
#include <QPainter>
#include <QTest>

using namespace quilvant::test;

namespace {

const QString kSystemData = QStringLiteral("/usr/share/tesseract-ocr/5/tessdata");

QString writeImage(const QString& folder, const QString& name, const QString& text)
{
    QImage image(900, 150, QImage::Format_RGB32);
    image.fill(Qt::white);
    if (!text.isEmpty()) {
        QPainter painter(&image);
        QFont font;
        font.setPixelSize(40);
        painter.setFont(font);
        painter.setPen(Qt::black);
        painter.drawText(QPointF(30, 90), text);
    }
    const QString path = QDir(folder).filePath(name);
    image.save(path, "PNG");
    return path;
}

// What the program left in its private temporary directory, apart from the diagnostics log.
QStringList leftovers(const Sandbox& sandbox)
{
    QStringList files = QDir(sandbox.privateTempDir()).entryList(QDir::Files | QDir::Hidden);
    files.removeAll(QStringLiteral("kestu-diagnostics.log"));
    return files;
}

} // namespace

class TestOcrModes : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void ocrTestPassesEveryLanguage()
    {
        Sandbox sandbox;
        const RunResult result = runQuilvant({QStringLiteral("--ocr-test")}, sandbox);
        QCOMPARE(result.errText(), QString());
        QCOMPARE(result.outText(), QStringLiteral("PASS: English OCR\nPASS: French OCR\nPASS: Chinese OCR\n"
                                                  "PASS: Japanese OCR\nPASS: Korean OCR\n"));
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(leftovers(sandbox), QStringList());
    }

    void ocrTestStopsAtTheFirstMismatch()
    {
        // Without Chinese or Japanese data the third row cannot match; the fourth and fifth must then not run.
        Sandbox sandbox;
        const QString data = QDir(sandbox.root()).filePath(QStringLiteral("tessdata"));
        QDir().mkpath(data);
        for (const char* model : {"eng", "fra", "kor", "osd"}) {
            const QString file = QString::fromLatin1(model) + QStringLiteral(".traineddata");
            QVERIFY(QFile::link(QDir(kSystemData).filePath(file), QDir(data).filePath(file)));
        }
        sandbox.setEnv(QStringLiteral("TESSDATA_PREFIX"), data);
        const RunResult result = runQuilvant({QStringLiteral("--ocr-test")}, sandbox);
        QCOMPARE(result.outText(), QStringLiteral("PASS: English OCR\nPASS: French OCR\n"));
        QVERIFY2(result.errText().startsWith(QStringLiteral("OCR test failed: Chinese OCR mismatch: ")),
                 result.err.constData());
        QVERIFY(result.errText().endsWith(QLatin1Char('\n')));
        QCOMPARE(result.errText().count(QLatin1Char('\n')), 1);
        QCOMPARE(result.exitCode, 1);
        QCOMPARE(leftovers(sandbox), QStringList());
    }

    void recognizePrintsEachFile()
    {
        Sandbox sandbox;
        const QString first = writeImage(sandbox.root(), QStringLiteral("a.png"), QStringLiteral("Keep reading"));
        const QString second = writeImage(sandbox.root(), QStringLiteral("b.png"), QStringLiteral("保持好奇"));
        const RunResult result = runQuilvant({QStringLiteral("--recognize"), first, second}, sandbox);
        QCOMPARE(result.errText(), QString());
        QCOMPARE(result.outText(), QStringLiteral("Keep reading\n\n保持好奇\n"));
        QCOMPARE(result.exitCode, 0);
    }

    void recognizeFailures_data()
    {
        QTest::addColumn<QString>("image"); // text to draw; "-" for no file at all
        QTest::addColumn<QString>("failure");

        QTest::newRow("blank image") << QString()
                                     << QStringLiteral("Recognition failed: No text found. Select a clearer area.\n");
        QTest::newRow("missing file") << QStringLiteral("-")
                                      << QStringLiteral(
                                             "Recognition failed: Cannot read the image %1: File not found\n");
    }

    void recognizeFailures()
    {
        QFETCH(QString, image);
        QFETCH(QString, failure);
        Sandbox sandbox;
        QString path = QDir(sandbox.root()).filePath(QStringLiteral("input.png"));
        if (image != QLatin1String("-")) {
            path = writeImage(sandbox.root(), QStringLiteral("input.png"), image);
        }
        const RunResult result = runQuilvant({QStringLiteral("--recognize"), path}, sandbox);
        QCOMPARE(result.outText(), QString());
        QCOMPARE(result.errText(), failure.contains(QLatin1String("%1")) ? failure.arg(path) : failure);
        QCOMPARE(result.exitCode, 1);
    }

    void recognizeNamesTheFailingFileAmongSeveral()
    {
        Sandbox sandbox;
        const QString good = writeImage(sandbox.root(), QStringLiteral("good.png"), QStringLiteral("Keep reading"));
        const QString blank = writeImage(sandbox.root(), QStringLiteral("blank.png"), QString());
        const RunResult result = runQuilvant({QStringLiteral("--recognize"), good, blank, good}, sandbox);
        QCOMPARE(result.outText(), QStringLiteral("Keep reading\n"));
        QCOMPARE(result.errText(),
                 QStringLiteral("Recognition failed: %1: No text found. Select a clearer area.\n").arg(blank));
        QCOMPARE(result.exitCode, 1);
    }

    void recognizeWithoutFilesFails()
    {
        Sandbox sandbox;
        const RunResult result = runQuilvant({QStringLiteral("--recognize")}, sandbox);
        QCOMPARE(result.exitCode, 1);
        QVERIFY(result.errText().startsWith(QStringLiteral("Recognition failed: ")));
    }
};

QTEST_MAIN(TestOcrModes)
#include "tst_ocrmodes.moc"
