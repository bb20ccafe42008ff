#include "platform/InstanceBus.h"
#include "support/ChildProcess.h"
#include "support/X11TestDisplay.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTest>
#include <csignal>

using namespace Qt::StringLiterals;
using namespace quilvant;
using namespace quilvant::test;

namespace {

bool nameOwned()
{
    return QDBusConnection::sessionBus().interface()->isServiceRegistered(InstanceBus::serviceName).value();
}

QString log(const Sandbox& sandbox)
{
    QFile file(sandbox.privateTempDir() + u"/kestu-diagnostics.log"_s);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

QList<pid_t> childrenOf(qint64 pid)
{
    QList<pid_t> children;
    for (const QString& task : QDir(u"/proc/%1/task"_s.arg(pid)).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        QFile file(u"/proc/%1/task/%2/children"_s.arg(pid).arg(task));
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray& child : file.readAll().split(' ')) {
                if (child.toInt() > 0) {
                    children.append(child.toInt());
                }
            }
        }
    }
    return children;
}

} // namespace

class TestInstance : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    // The first start becomes the instance; later starts hand their request to it and end at once; the
    // instance asked to end from outside leaves no child and no capture file behind.
    void handOff()
    {
        Sandbox sandbox;
        // The program's windows are not looked at here; its shortcut and capture tool use the display directly.
        sandbox.setEnv(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        QVERIFY(!nameOwned());
        QProcess first;
        first.setProcessEnvironment(sandbox.environment());
        first.setWorkingDirectory(sandbox.root());
        first.start(quilvantBinary(), {});
        QTRY_VERIFY_WITH_TIMEOUT(nameOwned(), 60000);

        const RunResult plain = runQuilvant({}, sandbox);
        QCOMPARE(plain.exitCode, 0);
        QTRY_VERIFY(log(sandbox).contains(u"card.shown"_s));

        const RunResult capture = runQuilvant({u"--capture"_s}, sandbox);
        QCOMPARE(capture.exitCode, 0);
        QCOMPARE(capture.errText(), QString());
        QTRY_VERIFY(log(sandbox).contains(u"capture.started"_s));
        QVERIFY(X11::waitForPointerGrab());
        const QList<pid_t> tools = childrenOf(first.processId());
        QCOMPARE(tools.size(), 1);

        first.terminate();
        QVERIFY(first.waitForFinished(30000));
        // Cleaned up first, then ended by the signal it was sent, as a caller expects.
        QCOMPARE(first.exitStatus(), QProcess::CrashExit);
        QCOMPARE(first.exitCode(), SIGTERM);
        QVERIFY(::kill(tools.constFirst(), 0) != 0);
        QVERIFY(log(sandbox).contains(u"capture.finished"_s));
        QCOMPARE(QDir(sandbox.privateTempDir()).entryList({u"kestu-*.png"_s}), QStringList());
        QVERIFY(!nameOwned());
    }

    // `quilvant --watch` handed to the running instance starts the region's selection there (the selection tool
    // is its child and holds the pointer); the instance ended leaves no selection tool behind.
    void watchHandOff()
    {
        Sandbox sandbox;
        sandbox.setEnv(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        QProcess first;
        first.setProcessEnvironment(sandbox.environment());
        first.setWorkingDirectory(sandbox.root());
        first.start(quilvantBinary(), {});
        QTRY_VERIFY_WITH_TIMEOUT(nameOwned(), 60000);

        const RunResult watch = runQuilvant({u"--watch"_s}, sandbox);
        QCOMPARE(watch.exitCode, 0);
        QCOMPARE(watch.errText(), QString());
        QVERIFY(X11::waitForPointerGrab());
        const QList<pid_t> tools = childrenOf(first.processId());
        QCOMPARE(tools.size(), 1);
        QFile name(u"/proc/%1/comm"_s.arg(tools.constFirst()));
        QVERIFY(name.open(QIODevice::ReadOnly));
        QCOMPARE(name.readAll().trimmed(), QByteArray("slop"));

        first.terminate();
        QVERIFY(first.waitForFinished(30000));
        QVERIFY(::kill(tools.constFirst(), 0) != 0);
        QVERIFY(!nameOwned());
    }

    // Started with --show-card and the agent engine: the card shows and the agent is started at launch; asked to
    // end, the program leaves no agent running.
    void launchWarmsUpTheEngine()
    {
        Sandbox sandbox;
        sandbox.setEnv(u"QT_QPA_PLATFORM"_s, u"offscreen"_s);
        sandbox.writeSetting(u"onboarded"_s, true);
        sandbox.writeSetting(u"engine"_s, u"Codex"_s);
        sandbox.writeSetting(u"codexPath"_s, testProgram(u"codex_standin"_s));
        QProcess first;
        first.setProcessEnvironment(sandbox.environment());
        first.start(quilvantBinary(), {u"--show-card"_s});
        QTRY_VERIFY_WITH_TIMEOUT(log(sandbox).contains(u"card.shown"_s), 60000);
        QTRY_COMPARE_WITH_TIMEOUT(childrenOf(first.processId()).size(), 1, 30000);
        const pid_t agent = childrenOf(first.processId()).constFirst();
        QFile command(u"/proc/%1/cmdline"_s.arg(agent));
        QVERIFY(command.open(QIODevice::ReadOnly));
        QVERIFY(command.readAll().contains("codex_standin"));

        first.terminate();
        QVERIFY(first.waitForFinished(30000));
        QTRY_VERIFY(stillRunning({agent}).isEmpty());
    }
};

QTEST_GUILESS_MAIN(TestInstance)
#include "tst_instance.moc"
