#include "core/Clock.h"
#include "platform/ServerClock.h"
#include "platform/X11GlobalShortcut.h"
#include "platform/X11OutsideClicks.h"
#include "support/X11TestDisplay.h"

#include <QSignalSpy>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quilvant;
using namespace quilvant::test;

using ServerEvents = QList<QPair<uint, double>>; // server ms, received at (uptime seconds)

class TestX11Backends : public QObject
{
    Q_OBJECT

    std::unique_ptr<X11GlobalShortcut> registered(char letter)
    {
        auto shortcut = X11GlobalShortcut::create();
        if (shortcut) {
            QSignalSpy done(shortcut.get(), &GlobalShortcut::registered);
            shortcut->registerKey(QLatin1Char(letter));
            if (done.count() != 1) {
                return nullptr;
            }
        }
        return shortcut;
    }

private Q_SLOTS:
    // Alt + the key reaches the program once per press, whatever the lock keys say.
    void shortcutPress_data()
    {
        QTest::addColumn<QString>("lock");
        QTest::newRow("no lock") << QString();
        QTest::newRow("caps lock") << u"Caps_Lock"_s;
        QTest::newRow("num lock") << u"Num_Lock"_s;
    }
    void shortcutPress()
    {
        QFETCH(QString, lock);
        auto shortcut = registered('d');
        QVERIFY(shortcut);
        QSignalSpy activated(shortcut.get(), &GlobalShortcut::activated);
        if (!lock.isEmpty()) {
            QVERIFY(X11::xdotool({QStringLiteral("key"), lock}));
        }
        // A plain D and Alt+another key come first: neither may count.
        QVERIFY(X11::xdotool(
            {QStringLiteral("key"), QStringLiteral("d"), QStringLiteral("alt+x"), QStringLiteral("alt+d")}));
        QTRY_COMPARE(activated.count(), 1);
        if (!lock.isEmpty()) {
            QVERIFY(X11::xdotool({QStringLiteral("key"), lock}));
        }
    }

    void shortcutTakenByAnotherProgram()
    {
        auto shortcut = X11GlobalShortcut::create();
        QVERIFY(shortcut);
        QSignalSpy failed(shortcut.get(), &GlobalShortcut::failed);
        QSignalSpy registeredSpy(shortcut.get(), &GlobalShortcut::registered);
        {
            const X11::ForeignKeyGrab other('t');
            QVERIFY(other.held());
            shortcut->registerKey(QLatin1Char('T'));
            QCOMPARE(failed.count(), 1);
            QVERIFY(failed.constFirst().constFirst().toString().contains(QStringLiteral("another program")));
            QCOMPARE(registeredSpy.count(), 0);
        }
        // Once the other program lets go, a new attempt gets it.
        shortcut->registerKey(QLatin1Char('T'));
        QCOMPARE(registeredSpy.count(), 1);
    }

    void reregistrationReplacesTheKey()
    {
        auto shortcut = registered('d');
        QVERIFY(shortcut);
        QSignalSpy activated(shortcut.get(), &GlobalShortcut::activated);
        shortcut->registerKey(QLatin1Char('S'));
        // The old combination comes first; had it still been grabbed, it would count before the new one.
        QVERIFY(X11::xdotool({QStringLiteral("key"), QStringLiteral("alt+d"), QStringLiteral("alt+s")}));
        QTRY_COMPARE(activated.count(), 1);
        QCOMPARE(activated.count(), 1);
        // And the old combination is free for others again.
        const X11::ForeignKeyGrab other('d');
        QVERIFY(other.held());
    }

    // Left and right presses anywhere are reported with the pointer's position and their time; others not.
    void outsideClicks_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<bool>("reported");
        QTest::newRow("left") << u"1"_s << true;
        QTest::newRow("right") << u"3"_s << true;
        QTest::newRow("middle") << u"2"_s << false;
        QTest::newRow("wheel") << u"4"_s << false;
    }
    void outsideClicks()
    {
        QFETCH(QString, button);
        QFETCH(bool, reported);
        auto clicks = X11OutsideClicks::create();
        QVERIFY(clicks);
        QSignalSpy pressed(clicks.get(), &OutsideClicks::pressed);
        const double before = Clock::uptime();
        QVERIFY(X11::xdotool({u"mousemove"_s, u"123"_s, u"45"_s, u"click"_s, button}));
        if (!reported) {
            // A left click follows: a press that must not count would be seen before it.
            QVERIFY(X11::xdotool({u"mousemove"_s, u"300"_s, u"200"_s, u"click"_s, u"1"_s}));
        }
        QTRY_COMPARE(pressed.count(), 1);
        const double after = Clock::uptime();
        const auto first = pressed.constFirst().constFirst().value<PointerPress>();
        QCOMPARE(first.position, std::optional<QPoint>(reported ? QPoint(123, 45) : QPoint(300, 200)));
        for (const QList<QVariant>& signal : pressed) {
            const double at = signal.constFirst().value<PointerPress>().at;
            QVERIFY2(at >= before - 0.02 && at <= after, qPrintable(QStringLiteral("%1 not in [%2, %3]")
                                                                        .arg(at, 0, 'f', 3)
                                                                        .arg(before, 0, 'f', 3)
                                                                        .arg(after, 0, 'f', 3)));
        }
    }

    // Server time stamps become uptime: the smallest arrival delay seen is the offset; wraps are followed.
    void serverClock_data()
    {
        QTest::addColumn<ServerEvents>("events");
        QTest::addColumn<QList<double>>("expected");
        QTest::newRow("first event: its arrival") << ServerEvents{{1000, 50.0}} << QList<double>{50.0};
        QTest::newRow("a faster arrival corrects the offset")
            << ServerEvents{{1000, 50.5}, {2000, 51.1}, {3000, 52.5}} << QList<double>{50.5, 51.1, 52.1};
        QTest::newRow("an event read late keeps its own time")
            << ServerEvents{{1000, 50.0}, {1500, 53.0}} << QList<double>{50.0, 50.5};
        QTest::newRow("wrap of the 32-bit counter")
            << ServerEvents{{0xFFFFFF00U, 100.0}, {0x00000100U, 100.512}} << QList<double>{100.0, 100.512};
        QTest::newRow("late event from before a wrap")
            << ServerEvents{{0xFFFFFF00U, 100.0}, {0x00000100U, 100.512}, {0xFFFFFF80U, 100.6}}
            << QList<double>{100.0, 100.512, 100.128};
    }
    void serverClock()
    {
        QFETCH(ServerEvents, events);
        QFETCH(QList<double>, expected);
        ServerClock clock;
        for (qsizetype i = 0; i < events.size(); ++i) {
            const double at = clock.toUptime(events[i].first, events[i].second);
            QVERIFY2(qAbs(at - expected[i]) < 1e-6, qPrintable(QString::number(at, 'f', 6)));
        }
    }
};

QTEST_GUILESS_MAIN(TestX11Backends)
#include "tst_x11backends.moc"
