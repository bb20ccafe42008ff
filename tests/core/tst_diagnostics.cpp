#include "core/Diagnostics.h"

#include <QFile>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <fcntl.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace quilvant;

class TestDiagnostics : public QObject
{
    Q_OBJECT

    QTemporaryDir m_runtime;

    static QStringList lines()
    {
        QFile file(Diagnostics::logPath());
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        QString text = QString::fromUtf8(file.readAll());
        if (text.endsWith(QLatin1Char('\n'))) {
            text.chop(1);
        }
        return text.split(QLatin1Char('\n'));
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_RUNTIME_DIR", m_runtime.path().toLocal8Bit());
        QCOMPARE(Diagnostics::logPath(), m_runtime.path() + QStringLiteral("/quilvant/kestu-diagnostics.log"));
    }

    void init() { QFile::remove(Diagnostics::logPath()); }

    void lineFormat()
    {
        Diagnostics::record(QStringLiteral("codex.ready seconds=%1").arg(Diagnostics::seconds(0.12345)));
        const QStringList written = lines();
        QCOMPARE(written.size(), 1);
        static const QRegularExpression form(
            QStringLiteral("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ codex\\.ready seconds=0\\.123$"));
        QVERIFY2(form.match(written.first()).hasMatch(), qPrintable(written.first()));
    }

    void deletedLogIsCreatedAgain()
    {
        Diagnostics::record(QStringLiteral("first"));
        QVERIFY(QFile::remove(Diagnostics::logPath()));
        Diagnostics::record(QStringLiteral("second"));
        const QStringList written = lines();
        QCOMPARE(written.size(), 1);
        QVERIFY(written.first().endsWith(QStringLiteral(" second")));
    }

    void lineFeedInsideAnEventIsWrittenUnchanged()
    {
        Diagnostics::record(QStringLiteral("two\nlines 中文"));
        const QStringList written = lines();
        QCOMPARE(written.size(), 2);
        QVERIFY(written[0].endsWith(QStringLiteral(" two")));
        QCOMPARE(written[1], QStringLiteral("lines 中文"));
    }

    void concurrentRecordsStayWhole()
    {
        constexpr int perThread = 400;
        const QString payload(3000, QLatin1Char('x')); // longer than one pipe-sized write would guarantee
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([t, &payload] {
                for (int i = 0; i < perThread; ++i) {
                    Diagnostics::record(QStringLiteral("thread.%1 i=%2 %3").arg(t).arg(i).arg(payload));
                }
            });
        }
        for (auto& thread : threads) {
            thread.join();
        }
        const QStringList written = lines();
        QCOMPARE(written.size(), 2 * perThread);
        static const QRegularExpression whole(QStringLiteral("^\\S+Z thread\\.[01] i=\\d+ x{3000}$"));
        int next[2] = {0, 0};
        for (const QString& line : written) {
            QVERIFY2(whole.match(line).hasMatch(), qPrintable(line.left(80)));
            // Each thread's own lines keep their order.
            const int t = line.section(QLatin1Char(' '), 1, 1).back().digitValue();
            QCOMPARE(line.section(QLatin1Char(' '), 2, 2), QStringLiteral("i=%1").arg(next[t]++));
        }
    }

    // Something else planted where the log should be is neither followed nor waited on: a link to a file stays
    // unwritten, and a FIFO that nobody reads does not hold the caller up.
    void foreignLogPathIsLeftAlone_data()
    {
        QTest::addColumn<QString>("kind");
        QTest::newRow("symbolic link") << QStringLiteral("link");
        QTest::newRow("FIFO without a reader") << QStringLiteral("fifo");
    }
    void foreignLogPathIsLeftAlone()
    {
        QFETCH(QString, kind);
        const QString target = m_runtime.filePath(QStringLiteral("elsewhere"));
        QFile::remove(target);
        if (kind == QStringLiteral("link")) {
            QVERIFY(QFile::link(target, Diagnostics::logPath()));
        } else {
            QCOMPARE(::mkfifo(QFile::encodeName(Diagnostics::logPath()).constData(), 0600), 0);
        }
        std::atomic<bool> returned = false;
        std::thread recorder([&returned] {
            Diagnostics::record(QStringLiteral("not here"));
            returned = true;
        });
        // However the test ends, a recorder stuck in open() is let go first: a reader makes the FIFO open.
        const auto release = qScopeGuard([&] {
            const int reader =
                returned ? -1 : ::open(QFile::encodeName(Diagnostics::logPath()).constData(), O_RDONLY | O_NONBLOCK);
            recorder.join();
            if (reader >= 0) {
                ::close(reader);
            }
        });
        QTRY_VERIFY_WITH_TIMEOUT(returned, 20000);
        QVERIFY(!QFile::exists(target));
        QVERIFY(QFile::remove(Diagnostics::logPath()));
    }

    void unwritableLogIsSwallowed()
    {
        // A directory standing where the log should be: the line is lost, nothing else happens.
        QVERIFY(QDir().mkpath(Diagnostics::logPath()));
        Diagnostics::record(QStringLiteral("lost"));
        QVERIFY(QDir().rmdir(Diagnostics::logPath()));
        Diagnostics::record(QStringLiteral("kept"));
        QCOMPARE(lines().size(), 1);
    }
};

QTEST_GUILESS_MAIN(TestDiagnostics)
#include "tst_diagnostics.moc"
