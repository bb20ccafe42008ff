// The card and window checks, run as the real program on the session's X server.
#include "support/ChildProcess.h"

#include <QDir>
#include <QFile>
#include <QImageReader>
#include <QTest>

using namespace quilvant::test;
using namespace Qt::Literals::StringLiterals;

namespace {

const QString uiPass = u"PASS: no titlebar gap, four edge hit areas, outside dismissal, paste-only auto trigger, "
                       "session collapse state\n"_s;
const QStringList previews = {u"expanded-light.png"_s, u"expanded-dark.png"_s, u"collapsed-dark.png"_s,
                              u"copied-light.png"_s, u"settings-english.png"_s};

} // namespace

class TestUIModes : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void cardAndWindowCheck_data()
    {
        QTest::addColumn<QStringList>("arguments"); // DIR stands for a folder in the sandbox
        QTest::addColumn<QString>("scale");
        QTest::addColumn<bool>("defaultFolder");
        QTest::newRow("--ui-preview DIR") << QStringList{u"--ui-preview"_s, u"DIR"_s} << u"1"_s << false;
        QTest::newRow("--ui-preview DIR at scale 2") << QStringList{u"--ui-preview"_s, u"DIR"_s} << u"2"_s << false;
        QTest::newRow("--ui-regression-test") << QStringList{u"--ui-regression-test"_s} << u"1"_s << true;
        QTest::newRow("--ui-preview without a folder") << QStringList{u"--ui-preview"_s} << u"1"_s << true;
    }

    void cardAndWindowCheck()
    {
        QFETCH(QStringList, arguments);
        QFETCH(QString, scale);
        QFETCH(bool, defaultFolder);
        Sandbox sandbox;
        sandbox.setEnv(u"QT_SCALE_FACTOR"_s, scale);
        const QString folder =
            defaultFolder ? sandbox.privateTempDir() + u"/ui-previews"_s : sandbox.root() + u"/previews/out"_s;
        arguments.replaceInStrings(u"DIR"_s, u"previews/out"_s); // relative to the program's working folder
        const RunResult result = runQuilvant(arguments, sandbox);
        QVERIFY2(!result.crashed && !result.timedOut, result.err.constData());
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.outText(), uiPass + u"Previews: "_s + folder + u"\n"_s);
        const int factor = scale.toInt();
        for (const QString& name : previews) {
            QImageReader image(QDir(folder).filePath(name));
            const QSize points = name.startsWith(u"settings"_s) ? QSize(520, 730) : QSize(430, 500);
            QCOMPARE(image.size(), points * factor);
        }
        // Volatile settings only: nothing was written to the person's settings.
        QVERIFY(!QFile::exists(sandbox.settingsFile()));
    }

    void aFailedExpectationEndsWithoutThePassLine()
    {
        Sandbox sandbox;
        QFile blocker(sandbox.root() + u"/taken"_s);
        QVERIFY(blocker.open(QIODevice::WriteOnly)); // a file where the folder should go
        blocker.close();
        const RunResult result = runQuilvant({u"--ui-preview"_s, u"taken/previews"_s}, sandbox);
        QCOMPARE(result.exitCode, 1);
        QVERIFY(!result.outText().contains(u"PASS"_s));
        QVERIFY2(result.errText().startsWith(u"UI test failed: cannot create "_s), result.err.constData());
    }

    void windowRegressionTest()
    {
        Sandbox sandbox;
        const RunResult result = runQuilvant({u"--window-regression-test"_s}, sandbox);
        QVERIFY2(!result.crashed && !result.timedOut, result.err.constData());
        QCOMPARE(result.exitCode, 0);
        QCOMPARE(result.outText(), u"PASS: first presentation on screen, inactive app, pinned reselection, pinned "
                                   "position, unpinned capture\n"_s);
    }
};

QTEST_GUILESS_MAIN(TestUIModes)
#include "tst_uimodes.moc"
