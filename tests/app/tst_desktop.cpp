// The desktop program end to end on a display of its own, with and without a window manager: the shortcut
// pressed, a region dragged in the real selection tool, the recognised text translated by a loopback hosted
// service into the card; and the interaction regression mode.
#include "app/AppDelegate.h"
#include "core/PrivateTempDir.h"
#include "engines/hosted/HostedClient.h"
#include "foundation/Secrets.h"
#include "foundation/Settings.h"
#include "selftest/Fixture.h"
#include "session/Model.h"
#include "session/TranslationConsent.h"
#include "support/ChildProcess.h"
#include "support/HttpsTestServer.h"
#include "support/X11TestDisplay.h"
#include "ui/Card.h"
#include "ui/CardWindow.h"
#include "ui/FloatingPanel.h"
#include "ui/SettingsWindow.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <optional>

using namespace Qt::StringLiterals;
using namespace quilvant;
using namespace quilvant::test;

namespace {

const QByteArray token = "desk-token-1";

QByteArray sse(const QByteArray& name, const QByteArray& data)
{
    return "event: " + name + "\ndata: " + data + "\n\n";
}

// How many child processes of this one run `program`.
int childrenNamed(const QByteArray& program)
{
    int count = 0;
    const QByteArray parent = QByteArray::number(QCoreApplication::applicationPid());
    for (const QString& entry : QDir(u"/proc"_s).entryList(QDir::Dirs)) {
        QFile stat(u"/proc/"_s + entry + u"/stat"_s);
        if (!stat.open(QIODevice::ReadOnly)) {
            continue;
        }
        // pid (comm) state ppid ...
        const QByteArray line = stat.readAll();
        const qsizetype close = line.lastIndexOf(')');
        const QList<QByteArray> rest = line.mid(close + 2).split(' ');
        if (close > 0 && rest.size() > 1 && rest.at(1) == parent &&
            line.mid(line.indexOf('(') + 1, close - line.indexOf('(') - 1) == program) {
            ++count;
        }
    }
    return count;
}

} // namespace

class TestDesktop : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    HttpsTestServer m_server;

    static void windowManager_data()
    {
        QTest::addColumn<bool>("windowManager");
        QTest::newRow("no window manager") << false;
        QTest::newRow("openbox") << true;
    }

private Q_SLOTS:
    // Each case streams from the service: none is answered from what an earlier case kept.
    void init() { HostedClient::shared().clearCache(); }
    void initTestCase()
    {
        qputenv("XDG_RUNTIME_DIR", m_home.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", m_home.path().toLocal8Bit());
        QVERIFY2(m_server.start(), qPrintable(m_server.errorString()));
        // Each line of the answer a little apart, so that the card shows the partial text on its own.
        m_server.setHandler([](const RecordedRequest&) {
            return ServerResponse::eventStream({sse("delta", "{\"text\":\"你\"}"), sse("delta", "{\"text\":\"你好\"}"),
                                                sse("done", "{\"text\":\"你好。\",\"remainingCharacters\":9}")},
                                               20);
        });
        qputenv("SSL_CERT_FILE", m_server.caFile().toLocal8Bit());
        Settings::setValue(Settings::Key::serviceURL, m_server.url().toString());
        Settings::setValue(Settings::Key::translationPrivacyConsent, TranslationConsent::marker);
        Settings::setValue(Settings::Key::onboarded, true);
        Settings::setValue(Settings::Key::uiLanguage, u"en"_s);
        QVERIFY(Secrets::save(QString::fromLatin1(token), Secrets::serviceAccount));
    }

    void captureToTranslation_data() { windowManager_data(); }
    void captureToTranslation()
    {
        QFETCH(bool, windowManager);
        std::optional<X11::WindowManager> manager;
        if (windowManager) {
            manager.emplace();
            QVERIFY2(manager->error().isEmpty(), qPrintable(manager->error()));
        }
        const QImage text =
            Fixture::draw(u"Restart the application to apply the new settings."_s, {1100, 160}, {30, 60}, 32);
        const X11::Picture picture(text, {200, 300});
        const int requestsBefore = m_server.requestCount();

        AppDelegate delegate;
        delegate.applicationDidFinishLaunching();
        QVERIFY(delegate.shortcutRegistered());
        Model& model = delegate.model();
        QStringList shown;
        connect(&model, &Model::translatedChanged, this, [&] { shown.append(model.translated()); });

        QVERIFY(X11::xdotool({u"key"_s, u"alt+d"_s}));
        QVERIFY(X11::waitForPointerGrab());
        QVERIFY(X11::dragAcross(QRect({200, 300}, text.size())));
        QTRY_COMPARE_WITH_TIMEOUT(model.status(), u"Translation complete"_s, 60000);

        QVERIFY2(model.source().startsWith(u"Restart the application"_s), qPrintable(model.source()));
        QCOMPARE(shown.last(), u"你好。"_s);
        QVERIFY2(shown.contains(u"你"_s) || shown.contains(u"你好"_s), qPrintable(shown.join(u'|')));
        QVERIFY(delegate.card().isShown());
        QCOMPARE(delegate.card().card()->findChild<QTextEdit*>(u"translationText"_s)->toPlainText(), u"你好。"_s);
        // The card hangs next to where the selection ended.
        QVERIFY(delegate.card().panel()->frameGeometry().left() >= 200 + text.width());

        QCOMPARE(m_server.requestCount(), requestsBefore + 1);
        const RecordedRequest request = m_server.requests().last();
        QCOMPARE(request.path, QByteArray("/v1/translate"));
        QCOMPARE(request.header("Authorization"), "Bearer " + token);
        const QJsonObject body = QJsonDocument::fromJson(request.body).object();
        QCOMPARE(body.value(u"source"_s).toString(), model.source());
        QCOMPARE(QDir(PrivateTempDir::location()).entryList({u"kestu-*.png"_s}, QDir::Files), QStringList());
    }

    // Alt+Shift+D with text highlighted in another program: that text is translated on the card.
    void selectionShortcut()
    {
        const X11::SelectionOwner highlighted(u"primary"_s, "Bonjour tout le monde");
        const int requestsBefore = m_server.requestCount();
        AppDelegate delegate;
        delegate.applicationDidFinishLaunching();
        QVERIFY(X11::xdotool({u"key"_s, u"alt+shift+d"_s}));
        QTRY_COMPARE_WITH_TIMEOUT(delegate.model().translated(), u"你好。"_s, 30000);
        QCOMPARE(delegate.model().source(), u"Bonjour tout le monde"_s);
        QVERIFY(delegate.card().isShown());
        QCOMPARE(m_server.requestCount(), requestsBefore + 1);
        const QJsonObject body = QJsonDocument::fromJson(m_server.requests().last().body).object();
        QCOMPARE(body.value(u"source"_s).toString(), u"Bonjour tout le monde"_s);
    }

    // Alt+W, a region dragged in the real selection tool, its text translated on the card beside it; Alt+W
    // again ends the watch. A selection given up before the drag leaves no selection tool running.
    void watchRegion()
    {
        const QImage text = Fixture::draw(u"Open the window before noon."_s, {800, 160}, {30, 80}, 30);
        const QRect region({200, 300}, text.size());
        const X11::Picture picture(text, region.topLeft());
        const int requestsBefore = m_server.requestCount();
        AppDelegate delegate;
        delegate.applicationDidFinishLaunching();
        QVERIFY(X11::xdotool({u"key"_s, u"alt+w"_s}));
        QVERIFY(X11::waitForPointerGrab());
        QVERIFY(X11::dragAcross(region));
        QTRY_VERIFY_WITH_TIMEOUT(delegate.watchFlow().watching(), 30000);
        QTRY_COMPARE_WITH_TIMEOUT(delegate.model().translated(), u"你好。"_s, 60000);
        QVERIFY2(delegate.model().source().startsWith(u"Open the window"_s), qPrintable(delegate.model().source()));
        QVERIFY(!delegate.card().panel()->frameGeometry().intersects(region));
        QTRY_COMPARE(delegate.menu().actions().at(3)->text(), u"Stop Watching"_s);
        QTest::qWait(1000);
        QCOMPARE(m_server.requestCount(), requestsBefore + 1);

        QVERIFY(X11::xdotool({u"key"_s, u"alt+w"_s}));
        QTRY_VERIFY(!delegate.watchFlow().watching());
        QTRY_COMPARE(delegate.menu().actions().at(3)->text(), u"Watch Region"_s);

        delegate.watch();
        QVERIFY(X11::waitForPointerGrab());
        QVERIFY(delegate.watchFlow().selecting());
        QCOMPARE(childrenNamed("slop"), 1);
        delegate.watch();
        QVERIFY(!delegate.watchFlow().selecting());
        QVERIFY(!delegate.model().captureInProgress());
        QCOMPARE(childrenNamed("slop"), 0);
    }

    // The mode checks the real card and pointer handler, and says so only when they hold.
    void regressionMode_data()
    {
        QTest::addColumn<bool>("windowManager");
        QTest::addColumn<QString>("platform");
        QTest::addColumn<int>("status");
        QTest::addColumn<QString>("out");
        QTest::addColumn<QString>("err");
        const QString pass = u"PASS: delayed selection click, active capture, outside click, pinned window\n"_s;
        QTest::newRow("no window manager") << false << u"xcb"_s << 0 << pass << QString();
        QTest::newRow("openbox") << true << u"xcb"_s << 0 << pass << QString();
        QTest::newRow("no X11 display")
            << false << u"offscreen"_s << 1 << QString()
            << u"Regression test failed: needs an X11 display (the X server reports whether a window is viewable)\n"_s;
    }
    void regressionMode()
    {
        QFETCH(bool, windowManager);
        QFETCH(QString, platform);
        QFETCH(int, status);
        QFETCH(QString, out);
        QFETCH(QString, err);
        std::optional<X11::WindowManager> manager;
        if (windowManager) {
            manager.emplace();
            QVERIFY2(manager->error().isEmpty(), qPrintable(manager->error()));
        }
        Sandbox sandbox;
        sandbox.setEnv(u"QT_QPA_PLATFORM"_s, platform);
        const RunResult result = runQuilvant({u"--regression-test"_s}, sandbox);
        QVERIFY2(!result.crashed && !result.timedOut, result.err.constData());
        QCOMPARE(result.errText(), err);
        QCOMPARE(result.outText(), out);
        QCOMPARE(result.exitCode, status);
    }

    // The settings window opens in the middle of the screen, also where a window manager places windows itself.
    void settingsWindowOpensCentred_data() { windowManager_data(); }
    void settingsWindowOpensCentred()
    {
        QFETCH(bool, windowManager);
        std::optional<X11::WindowManager> manager;
        if (windowManager) {
            manager.emplace();
            QVERIFY2(manager->error().isEmpty(), qPrintable(manager->error()));
        }
        SettingsWindow window;
        window.present();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        const QRect screen = window.screen()->availableGeometry();
        // The position is set before the frame is known: a title bar may push the middle down by half its height.
        const auto centred = [&] {
            const QRect frame = window.frameGeometry();
            const int titleBar = frame.height() - window.height();
            return qAbs(frame.center().x() - screen.center().x()) <= 2 &&
                   qAbs(frame.center().y() - screen.center().y()) <= titleBar / 2 + 2;
        };
        QTRY_VERIFY2(centred(), qPrintable(u"frame %1,%2 %3x%4 on a screen of %5x%6"_s.arg(window.frameGeometry().x())
                                               .arg(window.frameGeometry().y())
                                               .arg(window.frameGeometry().width())
                                               .arg(window.frameGeometry().height())
                                               .arg(screen.width())
                                               .arg(screen.height())));
    }
};

QTEST_MAIN(TestDesktop)
#include "tst_desktop.moc"
