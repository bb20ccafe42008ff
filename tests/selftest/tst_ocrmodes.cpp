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
        QTest::addColumn<QString>("image"); // text to draw; "-" for no file at all, "0" for an empty one
        QTest::addColumn<QString>("failure");

        QTest::newRow("blank image") << QString()
                                     << QStringLiteral("Recognition failed: No text found. Select a clearer area.\n");
        QTest::newRow("missing file") << QStringLiteral("-")
                                      << QStringLiteral(
                                             "Recognition failed: Cannot read the image %1: File not found\n");
        QTest::newRow("empty file") << QStringLiteral("0")
                                    << QStringLiteral("Recognition failed: Cannot read the image %1: empty file.\n");
    }

    void recognizeFailures()
    {
        QFETCH(QString, image);
        QFETCH(QString, failure);
        Sandbox sandbox;
        QString path = QDir(sandbox.root()).filePath(QStringLiteral("input.png"));
        if (image == QLatin1String("0")) {
            QFile empty(path);
            QVERIFY(empty.open(QIODevice::WriteOnly));
        } else if (image != QLatin1String("-")) {
            path = writeImage(sandbox.root(), QStringLiteral("input.png"), image);
        }
        const RunResult result = runQuilvant({QStringLiteral("--recognize"), path}, sandbox);
        QCOMPARE(result.outText(), QString());
        QCOMPARE(result.errText(), failure.contains(QLatin1String("%1")) ? failure.arg(path) : failure);
        QCOMPARE(result.exitCode, 1);
    }

    // A name that is not UTF-8 opens its file by its bytes, and messages show it escaped. Output that cannot be
    // written fails the run.
    void recognizeByTheNamesBytes_data()
    {
        QTest::addColumn<QString>("redirect");
        QTest::addColumn<QString>("missing"); // "" when the file is there
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        QTest::newRow("Latin-1 name") << QString() << QString() << 0 << QStringLiteral("Keep reading\n") << QString();
        QTest::newRow("missing Latin-1 name")
            << QString() << QStringLiteral("x") << 1 << QString()
            << QStringLiteral("Recognition failed: Cannot read the image x-caf\\xe9.png: File not found\n");
        QTest::newRow("full standard output")
            << QStringLiteral(" > /dev/full") << QString() << 1 << QString()
            << QStringLiteral("Recognition failed: Cannot write to standard output: No space left on device\n");
    }
    void recognizeByTheNamesBytes()
    {
        QFETCH(QString, redirect);
        QFETCH(QString, missing);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        Sandbox sandbox;
        const QString drawn = writeImage(sandbox.root(), QStringLiteral("drawn.png"), QStringLiteral("Keep reading"));
        // The shell makes the byte 0xE9 (é in Latin-1), which no QString argument can carry.
        const QString script = QStringLiteral("mv drawn.png \"$(printf 'caf\\351.png')\" && exec \"$0\" --recognize "
                                              "\"$(printf '%1caf\\351.png')\"%2")
                                   .arg(missing.isEmpty() ? QString() : missing + QLatin1Char('-'), redirect);
        QVERIFY(QFile::exists(drawn));
        const RunResult result =
            runProgram(QStringLiteral("sh"), {QStringLiteral("-c"), script, quilvantBinary()}, sandbox);
        QCOMPARE(result.errText(), err);
        QCOMPARE(result.outText(), out);
        QCOMPARE(result.exitCode, status);
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
