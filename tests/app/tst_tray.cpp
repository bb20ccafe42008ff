// The tray item on a real XEmbed tray (tint2 under openbox): shown whether the panel starts before or after the
// program and again after it restarts, and told apart from the panel by its pixels on a dark and a light panel.
#include "app/AppDelegate.h"
#include "core/Diagnostics.h"
#include "foundation/Settings.h"
#include "platform/ColorScheme.h"
#include "support/PortalStandIn.h"
#include "support/X11TestDisplay.h"

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QHash>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <cstdlib>
#include <optional>

using namespace Qt::StringLiterals;
using namespace quilvant;
using namespace quilvant::test;

namespace {

int count(const QString& event)
{
    QFile file(Diagnostics::logPath());
    if (!file.open(QIODevice::ReadOnly)) {
        return 0;
    }
    return static_cast<int>(QString::fromUtf8(file.readAll()).count(QString(u' ' + event + u'\n')));
}

// The share of the icon's pixels that differ clearly (by more than a quarter of the range in some channel) from
// the panel's colour, taken as the commonest colour of the 4-pixel ring around the icon.
double contrastingShare(const QRect& icon)
{
    constexpr int ring = 4;
    const QImage shot = X11::grab(icon.adjusted(-ring, -ring, ring, ring));
    if (shot.isNull() || icon.isEmpty()) {
        return 0;
    }
    QHash<QRgb, int> around;
    for (int y = 0; y < shot.height(); ++y) {
        for (int x = 0; x < shot.width(); ++x) {
            if (x < ring || y < ring || x >= shot.width() - ring || y >= shot.height() - ring) {
                ++around[shot.pixel(x, y)];
            }
        }
    }
    QRgb panel = 0;
    int most = 0;
    for (auto it = around.cbegin(); it != around.cend(); ++it) {
        if (it.value() > most) {
            most = it.value();
            panel = it.key();
        }
    }
    int differing = 0;
    for (int y = ring; y < shot.height() - ring; ++y) {
        for (int x = ring; x < shot.width() - ring; ++x) {
            const QRgb pixel = shot.pixel(x, y);
            const int distance = std::max({std::abs(qRed(pixel) - qRed(panel)), std::abs(qGreen(pixel) - qGreen(panel)),
                                           std::abs(qBlue(pixel) - qBlue(panel))});
            differing += distance > 64 ? 1 : 0;
        }
    }
    return double(differing) / (icon.width() * icon.height());
}

} // namespace

class TestTray : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    QString m_lightPanel;

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_RUNTIME_DIR", m_home.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", m_home.path().toLocal8Bit());
        Settings::setValue(Settings::Key::onboarded, true);
        // tint2's own default with the panel's ground made light.
        QFile defaults(u"/etc/xdg/tint2/tint2rc"_s);
        QVERIFY(defaults.open(QIODevice::ReadOnly));
        QByteArray config = defaults.readAll();
        QVERIFY(config.contains("background_color = #000000 60"));
        config.replace("background_color = #000000 60", "background_color = #e8e8e8 100");
        m_lightPanel = m_home.filePath(u"light.tint2rc"_s);
        QFile light(m_lightPanel);
        QVERIFY(light.open(QIODevice::WriteOnly));
        QCOMPARE(light.write(config), config.size());
    }
    void init() { QFile::remove(Diagnostics::logPath()); }

    void shownOnThePanel_data()
    {
        QTest::addColumn<QString>("order");
        QTest::addColumn<bool>("light");
        QTest::newRow("panel first, dark") << u"first"_s << false;
        QTest::newRow("panel first, light") << u"first"_s << true;
        QTest::newRow("panel later") << u"later"_s << false;
        QTest::newRow("panel restarted") << u"restarted"_s << false;
    }
    void shownOnThePanel()
    {
        QFETCH(QString, order);
        QFETCH(bool, light);
        const X11::WindowManager manager;
        QVERIFY2(manager.error().isEmpty(), qPrintable(manager.error()));
        std::optional<X11::TrayPanel> panel;
        const auto startPanel = [&] {
            panel.reset();
            panel.emplace(light ? m_lightPanel : QString());
            return panel->error();
        };
        if (order != u"later"_s) {
            const QString error = startPanel();
            QVERIFY2(error.isEmpty(), qPrintable(error));
        }
        // The news of the last row's panel going and this one coming reach the toolkit as a running program's
        // event loop would have taken them in meanwhile.
        QTest::qWait(200);
        AppDelegate delegate;
        delegate.applicationDidFinishLaunching();
        if (order == u"later"_s) {
            QTest::qWait(1000);
            QVERIFY(delegate.statusItem() == nullptr);
            const QString error = startPanel();
            QVERIFY2(error.isEmpty(), qPrintable(error));
        }
        QTRY_VERIFY_WITH_TIMEOUT(delegate.statusItem() != nullptr, 10'000);
        QSystemTrayIcon& item = *delegate.statusItem();
        QVERIFY(item.isVisible());
        const auto where = [&item] {
            const QRect at = item.geometry();
            return QStringLiteral("icon at %1,%2 %3x%4").arg(at.x()).arg(at.y()).arg(at.width()).arg(at.height());
        };
        if (order == u"restarted"_s) {
            QTRY_VERIFY2_WITH_TIMEOUT(contrastingShare(item.geometry()) > 0.3, qPrintable(where()), 20'000);
            const QString error = startPanel();
            QVERIFY2(error.isEmpty(), qPrintable(error));
        }
        QTRY_VERIFY2_WITH_TIMEOUT(contrastingShare(item.geometry()) > 0.3, qPrintable(where()), 20'000);
        QVERIFY2(item.geometry().width() >= 16, qPrintable(where()));
        if (order == u"later"_s) {
            // The tray came within the grace time: nothing is said about a missing one.
            QTest::qWait(AppDelegate::trayGraceMs);
            QCOMPARE(count(u"tray.missing"_s), 0);
        }
    }

    // Pictures of the item's menu open over tint2 in both looks and languages, where QUILVANT_SHOTS_DIR asks.
    void menuShots()
    {
        const QString folder = qEnvironmentVariable("QUILVANT_SHOTS_DIR");
        if (folder.isEmpty()) {
            QSKIP("QUILVANT_SHOTS_DIR is not set");
        }
        QDir().mkpath(folder);
        const X11::WindowManager manager;
        const X11::TrayPanel panel;
        QVERIFY2(panel.error().isEmpty(), qPrintable(panel.error()));
        AppDelegate delegate;
        delegate.applicationDidFinishLaunching();
        QTRY_VERIFY_WITH_TIMEOUT(delegate.statusItem() != nullptr, 10'000);
        QTRY_VERIFY_WITH_TIMEOUT(contrastingShare(delegate.statusItem()->geometry()) > 0.3, 20'000);
        for (const QString& language : {u"en"_s, u"zh"_s}) {
            Settings::setValue(Settings::Key::uiLanguage, language);
            for (const bool dark : {false, true}) {
                announceColorScheme(dark ? 1 : 2);
                QTRY_COMPARE(ColorScheme::instance()->dark(), dark);
                const QRect icon = delegate.statusItem()->geometry();
                delegate.menu().popup(icon.topLeft());
                QTest::qWait(300);
                const QRect menu = delegate.menu().geometry();
                QVERIFY(X11::grab(menu.united(icon).adjusted(-40, -40, 40, 40) &
                                  QGuiApplication::primaryScreen()->geometry())
                            .save(u"%1/tray-menu-%2-%3.png"_s.arg(folder, language, dark ? u"dark"_s : u"light"_s)));
                delegate.menu().hide();
            }
        }
        announceColorScheme(0);
        Settings::setValue(Settings::Key::uiLanguage, u"en"_s);
    }

    // Without any tray the program says so once, after the grace time.
    void noTray()
    {
        AppDelegate delegate;
        delegate.applicationDidFinishLaunching();
        QCOMPARE(count(u"tray.missing"_s), 0);
        QTRY_COMPARE_WITH_TIMEOUT(count(u"tray.missing"_s), 1, AppDelegate::trayGraceMs + 3000);
        QVERIFY(delegate.statusItem() == nullptr);
    }
};

QTEST_MAIN(TestTray)
#include "tst_tray.moc"
