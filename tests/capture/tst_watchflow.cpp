// Watching a region on a display of its own: a window whose text changes on a schedule, the real X server
// reader, real recognition, the real card and a loopback hosted service that translates what it is sent.
#include "capture/WatchFlow.h"
#include "core/Diagnostics.h"
#include "core/PrivateTempDir.h"
#include "engines/hosted/HostedClient.h"
#include "foundation/L.h"
#include "foundation/Secrets.h"
#include "foundation/Settings.h"
#include "platform/RegionPicker.h"
#include "platform/X11RegionReader.h"
#include "selftest/Fixture.h"
#include "session/Model.h"
#include "session/TranslationConsent.h"
#include "support/HttpsTestServer.h"
#include "support/TextWindow.h"
#include "support/X11TestDisplay.h"
#include "ui/CardWindow.h"
#include "ui/FloatingPanel.h"

#include <QDir>
#include <QGuiApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QProcess>
#include <QScopeGuard>
#include <QScreen>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

using namespace Qt::StringLiterals;
using namespace quilvant;
using namespace quilvant::test;
using namespace std::chrono_literals;

namespace {

const QByteArray token = "watch-token-1";
const QRect area(120, 260, 800, 200);

// A window of the test's own, outside any window manager, whose text is drawn as the recognition fixtures are.
QByteArray sse(const QByteArray& name, const QByteArray& data)
{
    return "event: " + name + "\ndata: " + data + "\n\n";
}

// One step of a schedule: the text shown, and whether it stays (long enough to be read) or flickers past.
struct Step
{
    QString text;
    bool stays = true;
    int pointSize = 30;
};

} // namespace

Q_DECLARE_METATYPE(QList<Step>)

class TestWatchFlow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    HttpsTestServer m_server;
    std::atomic<bool> m_failing{false};

    QStringList sentSources() const
    {
        QStringList sources;
        for (const RecordedRequest& request : m_server.requests()) {
            if (request.path == "/v1/translate") {
                sources.append(QJsonDocument::fromJson(request.body).object().value(u"source"_s).toString());
            }
        }
        return sources;
    }

    static QStringList events()
    {
        QFile file(Diagnostics::logPath());
        QStringList names;
        if (file.open(QIODevice::ReadOnly)) {
            for (const QByteArray& line : file.readAll().split('\n')) {
                const QByteArray event = line.mid(line.indexOf(' ') + 1);
                if (event.startsWith("watch.")) {
                    names.append(
                        QString::fromUtf8(event.left(event.indexOf(' ') < 0 ? event.size() : event.indexOf(' '))));
                }
            }
        }
        return names;
    }

    static Outcome<std::uint64_t> lookOnce(RegionReader& reader)
    {
        std::optional<Outcome<std::uint64_t>> result;
        reader.look([&result](Outcome<std::uint64_t> outcome) { result.emplace(std::move(outcome)); });
        (void)QTest::qWaitFor([&result] { return result.has_value(); }, 5000);
        return result.value_or(Outcome<std::uint64_t>(Error::system(u"no answer"_s)));
    }

    static WatchFlow::Timing fastTiming()
    {
        WatchFlow::Timing timing;
        timing.look = 100ms;
        timing.settlingLook = 50ms;
        timing.stillness = 250ms;
        timing.longestWait = 3000ms;
        timing.pause = 1500ms;
        return timing;
    }

    // The model, the card and a watch over them, as the desktop program puts them together.
    struct Harness
    {
        Model model;
        CardWindow card{&model};
        WatchFlow flow{model, card, WatchFlow::Services::system()};
        Harness() { flow.setTiming(fastTiming()); }
        bool settled() const { return flow.settled(); }
    };

    static void hold(Harness& harness, const Step& step)
    {
        if (!step.stays) {
            QTest::qWait(60); // faster than the stillness wait
            return;
        }
        QTest::qWait(1500);
        QTRY_VERIFY_WITH_TIMEOUT(harness.settled(), 30000);
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_RUNTIME_DIR", m_home.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", m_home.path().toLocal8Bit());
        QVERIFY(PrivateTempDir::path());
        QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
        m_server.setHandler([this](const RecordedRequest& request) {
            if (m_failing) {
                return ServerResponse::json(503, R"({"error":"unavailable"})");
            }
            const QString source = QJsonDocument::fromJson(request.body).object().value(u"source"_s).toString();
            const QJsonObject done{{u"text"_s, QString(u"译："_s + source)}, {u"remainingCharacters"_s, 1000}};
            return ServerResponse::eventStream({sse("done", QJsonDocument(done).toJson(QJsonDocument::Compact))});
        });
        qputenv("SSL_CERT_FILE", m_server.caFile().toLocal8Bit());
        Settings::setValue(Settings::Key::serviceURL, m_server.url().toString());
        Settings::setValue(Settings::Key::translationPrivacyConsent, TranslationConsent::marker);
        Settings::setValue(Settings::Key::uiLanguage, u"en"_s);
        QVERIFY(Secrets::save(QString::fromLatin1(token), Secrets::serviceAccount));
        QVERIFY2(X11RegionReader::create() != nullptr, "the X server's pixels cannot be read");
    }

    void init()
    {
        QFile::remove(Diagnostics::logPath());
        m_failing = false;
        HostedClient::shared().clearCache();
    }

    // What is sent for translation, for texts that change on a schedule: each distinct text once, nothing for
    // an unchanged region (also when it is drawn again, or drawn otherwise with the same words), a flickering
    // region once it has settled, a text seen again from the translations kept.
    void schedule_data()
    {
        QTest::addColumn<QList<Step>>("steps");
        QTest::addColumn<QStringList>("sent");
        const QString a = u"The north gate opens at dawn."_s;
        const QString b = u"Bring the lantern and the map."_s;
        const QString c = u"We leave before the rain starts."_s;
        QTest::newRow("unchanged") << QList<Step>{{a}, {a}} << QStringList{a};
        QTest::newRow("new texts") << QList<Step>{{a}, {b}, {c}} << QStringList{a, b, c};
        QTest::newRow("same words, other pixels") << QList<Step>{{a}, {a, true, 34}} << QStringList{a};
        QTest::newRow("flicker, then still")
            << QList<Step>{{a}, {b, false}, {c, false}, {b, false}, {u"Hold the line until noon."_s, false}, {c}}
            << QStringList{a, c};
        QTest::newRow("back to an earlier text") << QList<Step>{{a}, {b}, {a}} << QStringList{a, b};
    }
    void schedule()
    {
        QFETCH(QList<Step>, steps);
        QFETCH(QStringList, sent);
        const int before = sentSources().size();
        TextWindow window(area);
        window.showText(steps.first().text, steps.first().pointSize);
        QTest::qWait(100);
        Harness harness;
        QVERIFY(harness.flow.watch(area));
        for (const Step& step : steps) {
            window.showText(step.text, step.pointSize);
            hold(harness, step);
        }
        // Standing still sends nothing more.
        QTest::qWait(1000);
        QCOMPARE(sentSources().mid(before).join(u'|'), sent.join(u'|'));
        QCOMPARE(harness.model.source(), steps.last().text);
        QCOMPARE(harness.model.translated(), u"译："_s + steps.last().text);
        QCOMPARE(harness.model.status(), WatchFlow::watchingHint());

        // The card is shown beside the region, pinned, not over it.
        QVERIFY(harness.card.isShown());
        QVERIFY(harness.model.pinned());
        QVERIFY2(!harness.card.panel()->frameGeometry().intersects(area),
                 qPrintable(u"%1,%2"_s.arg(harness.card.panel()->x()).arg(harness.card.panel()->y())));
        harness.flow.stop();
        QCOMPARE(events().first(), u"watch.started"_s);
        // Every text that differs from the one read before it is a change, whether it is sent or kept.
        QStringList read;
        for (const Step& step : steps) {
            if (step.stays && (read.isEmpty() || read.last() != step.text)) {
                read.append(step.text);
            }
        }
        QCOMPARE(events().count(u"watch.changed"_s), read.size());
        QCOMPARE(events().last(), u"watch.stopped"_s);
    }

    // Every way a watch ends leaves nothing behind: no look, no recognition, no file; a change afterwards
    // sends nothing. Closing the card ends the watch; collapsing it does not.
    void ends_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("stop") << u"stop"_s;
        QTest::newRow("card closed") << u"close"_s;
        QTest::newRow("escape on the card") << u"escape"_s;
    }
    void ends()
    {
        QFETCH(QString, how);
        TextWindow window(area);
        window.showText(u"Keep the fire burning tonight."_s);
        Harness harness;
        QObject::connect(&harness.card, &CardWindow::closed, &harness.flow,
                         [&] { harness.flow.stop(WatchFlow::End::Closed); });
        QVERIFY(harness.flow.watch(area));
        QTRY_COMPARE_WITH_TIMEOUT(harness.model.source(), u"Keep the fire burning tonight."_s, 30000);
        QTRY_VERIFY_WITH_TIMEOUT(harness.settled(), 30000);
        harness.model.setSourceExpanded(false);
        QVERIFY(harness.flow.watching());

        if (how == u"stop"_s) {
            harness.flow.stop();
            QCOMPARE(harness.model.status(), u"Stopped watching"_s);
        } else if (how == u"close"_s) {
            harness.card.closeCard();
        } else {
            harness.card.panel()->activateWindow();
            QTRY_VERIFY(harness.card.panel()->isActiveWindow());
            QTest::keyClick(harness.card.panel(), Qt::Key_Escape);
        }
        QVERIFY(!harness.flow.watching());
        QVERIFY(!harness.model.pinned());
        const int sent = sentSources().size();
        window.showText(u"Nobody reads this line."_s);
        QTest::qWait(1500);
        QCOMPARE(sentSources().size(), sent);
        QCOMPARE(QDir(PrivateTempDir::location()).entryList({u"kestu-*.png"_s}, QDir::Files), QStringList());
        QCOMPARE(events().last(), u"watch.stopped"_s);
    }

    // Translations that keep failing pause the watch, which says so; the newest text is sent when it resumes.
    void pausesWhileFailing()
    {
        TextWindow window(area);
        window.showText(u"First line of the letter."_s);
        Harness harness;
        m_failing = true;
        const int before = sentSources().size();
        QVERIFY(harness.flow.watch(area));
        for (const QString& text : {u"Second line of the letter."_s, u"Third line of the letter."_s}) {
            QTRY_VERIFY_WITH_TIMEOUT(harness.model.error().has_value() && !harness.model.busy(), 30000);
            window.showText(text);
            hold(harness, {text});
        }
        QTRY_VERIFY_WITH_TIMEOUT(harness.flow.paused(), 30000);
        QVERIFY2(harness.model.status().contains(u"paused"_s), qPrintable(harness.model.status()));
        QCOMPARE(sentSources().size() - before, 3);
        window.showText(u"Fourth line of the letter."_s);
        QTest::qWait(500);
        QCOMPARE(sentSources().size() - before, 3);

        m_failing = false;
        QTRY_VERIFY_WITH_TIMEOUT(!harness.flow.paused(), 10000);
        QTRY_COMPARE_WITH_TIMEOUT(harness.model.translated(), u"译：Fourth line of the letter."_s, 30000);
        QCOMPARE(sentSources().last(), u"Fourth line of the letter."_s);
        QVERIFY(events().contains(u"watch.paused"_s));
    }

    // The screen the region is on goes away (a monitor unplugged): the watch ends and says why.
    void screenGoesAway()
    {
        if (QStandardPaths::findExecutable(u"xrandr"_s).isEmpty()) {
            QSKIP("xrandr is not installed");
        }
        const auto xrandr = [](const QStringList& arguments) {
            QProcess process;
            process.start(u"xrandr"_s, arguments);
            return process.waitForFinished(10000) && process.exitStatus() == QProcess::NormalExit &&
                   process.exitCode() == 0;
        };
        // The display split into two monitors side by side, the right one of no output, as a second screen.
        const QSize whole = QGuiApplication::primaryScreen()->geometry().size();
        const int half = whole.width() / 2;
        const auto restore = qScopeGuard([&] {
            xrandr({u"--delmonitor"_s, u"right"_s});
            xrandr({u"--delmonitor"_s, u"left"_s});
        });
        QVERIFY(
            xrandr({u"--setmonitor"_s, u"left"_s, u"%1/254x%2/286+0+0"_s.arg(half).arg(whole.height()), u"screen"_s}));
        QVERIFY(xrandr({u"--setmonitor"_s, u"right"_s,
                        u"%1/254x%2/286+%1+0"_s.arg(whole.width() - half).arg(whole.height()), u"none"_s}));
        QTRY_COMPARE_WITH_TIMEOUT(QGuiApplication::screens().size(), 2, 10000);

        const QRect region(half + 60, 260, 800, 200);
        TextWindow window(region);
        window.showText(u"Count the boxes twice."_s);
        Harness harness;
        QVERIFY(harness.flow.watch(region));
        QTRY_COMPARE_WITH_TIMEOUT(harness.model.source(), u"Count the boxes twice."_s, 30000);

        QVERIFY(xrandr({u"--delmonitor"_s, u"right"_s}));
        QTRY_VERIFY_WITH_TIMEOUT(!harness.flow.watching(), 10000);
        QVERIFY(harness.model.error().has_value());
        QVERIFY(!harness.model.pinned());
        QFile log(Diagnostics::logPath());
        QVERIFY(log.open(QIODevice::ReadOnly));
        QVERIFY(log.readAll().contains("watch.stopped reason=screen-gone"));
    }

    // The X server's pixels, through shared memory and through the socket: the picture is what the window shows,
    // the signature follows every change and only a change.
    void readers_data()
    {
        QTest::addColumn<bool>("shm");
        QTest::newRow("MIT-SHM") << true;
        QTest::newRow("socket") << false;
    }
    void readers()
    {
        QFETCH(bool, shm);
        TextWindow window(area);
        window.showText(u"Pixels as drawn."_s);
        QTest::qWait(200);
        const std::unique_ptr<X11RegionReader> reader = X11RegionReader::create(shm);
        QVERIFY(reader != nullptr);
        QCOMPARE(reader->name(), shm ? u"x11-shm"_s : u"x11"_s);
        reader->setRegion(area);
        const Outcome<std::uint64_t> first = lookOnce(*reader);
        QVERIFY(first.ok());
        QCOMPARE(lookOnce(*reader).value(), first.value());
        QCOMPARE(
            reader->picture(),
            Fixture::draw(u"Pixels as drawn."_s, area.size(), {24, 110}, 30).convertToFormat(QImage::Format_RGB32));
        window.showText(u"Pixels as drawn!"_s);
        QTest::qWait(200);
        QVERIFY(lookOnce(*reader).value() != first.value());

        // A region partly off the screen is not read.
        reader->setRegion(QRect(QPoint(-10, 0), area.size()));
        QVERIFY(!lookOnce(*reader).ok());
    }

    // What the selection tools print, read as a region or as none.
    void selectionOutput_data()
    {
        QTest::addColumn<bool>("slurp");
        QTest::addColumn<QByteArray>("output");
        QTest::addColumn<QRect>("region");
        QTest::newRow("slop") << false << QByteArray("10 20 800 200\n") << QRect(10, 20, 800, 200);
        QTest::newRow("slop, negative origin") << false << QByteArray("-1920 0 640 480") << QRect(-1920, 0, 640, 480);
        QTest::newRow("slop, empty") << false << QByteArray("10 20 0 200") << QRect();
        QTest::newRow("slop, more after") << false << QByteArray("10 20 800 200 5") << QRect();
        QTest::newRow("slurp") << true << QByteArray("10,20 800x200\n") << QRect(10, 20, 800, 200);
        QTest::newRow("slurp, huge") << true << QByteArray("1,2 99999999x3") << QRect();
        QTest::newRow("slurp as slop") << false << QByteArray("10,20 800x200") << QRect();
        QTest::newRow("nothing") << true << QByteArray() << QRect();
    }
    void selectionOutput()
    {
        QFETCH(bool, slurp);
        QFETCH(QByteArray, output);
        QFETCH(QRect, region);
        const std::optional<QRect> read = slurp ? RegionPicker::parseSlurp(output) : RegionPicker::parseSlop(output);
        QCOMPARE(read.value_or(QRect()), region);
    }

    // Where the card goes beside a region on a 1280 × 800 screen: never over the region while there is room.
    void placementBeside_data()
    {
        QTest::addColumn<QRect>("region");
        QTest::addColumn<QPoint>("expected");
        const QSize card = FloatingPanel::initialSize;
        QTest::newRow("room on the right") << QRect(100, 100, 400, 100) << QPoint(518, 100);
        QTest::newRow("at the right edge")
            << QRect(780, 300, 480, 100) << QPoint(780 - 18 - card.width(), 800 - 12 - 500);
        QTest::newRow("low on the right, kept on screen") << QRect(100, 700, 400, 80) << QPoint(518, 800 - 12 - 500);
        QTest::newRow("full width: below") << QRect(0, 50, 1280, 100) << QPoint(12, 168);
        QTest::newRow("full width at the bottom: above") << QRect(0, 650, 1280, 150) << QPoint(12, 650 - 18 - 500);
    }
    void placementBeside()
    {
        QFETCH(QRect, region);
        QFETCH(QPoint, expected);
        const QRect screen(0, 0, 1280, 800);
        const QPoint placed = CardWindow::placementBeside(region, screen, FloatingPanel::initialSize);
        QCOMPARE(placed, expected);
        QVERIFY(!QRect(placed, FloatingPanel::initialSize).intersects(region));
        QVERIFY(screen.contains(QRect(placed, FloatingPanel::initialSize)));
    }
};

QTEST_MAIN(TestWatchFlow)
#include "tst_watchflow.moc"
