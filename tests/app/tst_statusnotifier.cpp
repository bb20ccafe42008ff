// The tray item where the desktop hosts StatusNotifier items (a host of our own speaking the real D-Bus
// interfaces on the session's bus): the item registers, also with a host that starts after the program, carries the
// themed icon's name where the theme has it and the colour pixmaps always, serves its menu, registers again with a
// watcher that restarts, and shows its icon anew when the desktop turns dark.
#include "app/AppDelegate.h"
#include "foundation/Settings.h"
#include "platform/ColorScheme.h"
#include "support/PortalStandIn.h"
#include "support/StatusNotifierHost.h"
#include "ui/Card.h"
#include "ui/CardWindow.h"
#include "ui/SettingsWindow.h"
#include "ui/SornBrand.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <optional>

using namespace Qt::StringLiterals;
using namespace quilvant;
using namespace quilvant::test;

namespace {

std::optional<StatusNotifierHost::Item> onlyItem(const StatusNotifierHost& host)
{
    const QList<StatusNotifierHost::Item> items = host.items();
    if (items.size() != 1) {
        return std::nullopt;
    }
    return items.constFirst();
}

} // namespace

class TestStatusNotifier : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    std::optional<StatusNotifierHost> m_host;
    std::unique_ptr<AppDelegate> m_delegate;

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_RUNTIME_DIR", m_home.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", m_home.path().toLocal8Bit());
        Settings::setValue(Settings::Key::onboarded, true);
        Settings::setValue(Settings::Key::uiLanguage, u"en"_s);
        // The theme as the package installs it.
        const QString themes = m_home.filePath(u"icons"_s);
        QVERIFY(QDir().mkpath(themes + u"/hicolor/symbolic/apps"_s));
        QFile index(themes + u"/hicolor/index.theme"_s);
        QVERIFY(index.open(QIODevice::WriteOnly));
        index.write("[Icon Theme]\nName=Hicolor\nDirectories=symbolic/apps\n\n"
                    "[symbolic/apps]\nSize=16\nMinSize=8\nMaxSize=512\nType=Scalable\n");
        index.close();
        QFile svg(themes + u"/hicolor/symbolic/apps/quilvant-symbolic.svg"_s);
        QVERIFY(svg.open(QIODevice::WriteOnly));
        svg.write(SornBrand::markSvg(QColor(0xbe, 0xbe, 0xbe)));
        svg.close();
        QIcon::setThemeSearchPaths({themes});
        QIcon::setThemeName(u"hicolor"_s);
        // A host that draws the named icon without tinting it gets the light grey meant for dark panels.
        const QImage themed = QIcon::fromTheme(u"quilvant-symbolic"_s).pixmap(64).toImage();
        QSet<QRgb> inks;
        for (int y = 0; y < themed.height(); ++y) {
            for (int x = 0; x < themed.width(); ++x) {
                if (qAlpha(themed.pixel(x, y)) == 255) {
                    inks.insert(themed.pixel(x, y));
                }
            }
        }
        QCOMPARE(inks, QSet<QRgb>{qRgb(0xbe, 0xbe, 0xbe)});

        // The host comes after the program, as at a login where the panel loses the race (and with no XEmbed
        // tray to fall back on): the item is made, and goes to the host, once the host is there.
        m_delegate = std::make_unique<AppDelegate>();
        m_delegate->applicationDidFinishLaunching();
        QTest::qWait(500);
        QVERIFY(m_delegate->statusItem() == nullptr);
        m_host.emplace();
        QVERIFY2(m_host->error().isEmpty(), qPrintable(m_host->error()));
        QTRY_VERIFY_WITH_TIMEOUT(m_delegate->statusItem() != nullptr, 10'000);
    }
    void cleanupTestCase()
    {
        m_delegate.reset();
        m_host.reset();
    }

    // What the host reads: the name it tints, pixmaps that stand out by themselves, the menu in order.
    void itemAsTheHostSeesIt()
    {
        QTRY_VERIFY_WITH_TIMEOUT(onlyItem(*m_host).has_value(), 10'000);
        const StatusNotifierHost::Item item = *onlyItem(*m_host);
        QVERIFY2(item.error.isEmpty(), qPrintable(item.error));
        QCOMPARE(item.iconName, u"quilvant-symbolic"_s);
        QList<int> sizes;
        for (const QImage& pixmap : item.pixmaps) {
            sizes.append(pixmap.width());
            QCOMPARE(pixmap.height(), pixmap.width());
            QCOMPARE(QColor(pixmap.pixel(1, pixmap.height() / 2)).name(), SornBrand::color().name());
        }
        QVERIFY2(sizes.contains(16) && sizes.contains(22) && sizes.contains(32),
                 qPrintable(QString::number(sizes.size())));
        QCOMPARE(item.menu,
                 (QStringList{u"Capture & Translate"_s, u"Open Translation"_s, u"Translate Selection"_s,
                              u"Watch Region"_s, u"History…"_s, u"-"_s, u"Settings…"_s, u"Quit Quilvant"_s}));
    }

    // A change to dark reaches the running program at once: the card and the settings window take the dark look,
    // and the host is told of a new icon and reads it again.
    void followsTheColourScheme()
    {
        QTRY_VERIFY_WITH_TIMEOUT(onlyItem(*m_host).has_value(), 10'000);
        m_delegate->showEmpty();
        m_delegate->showSettings();
        QVERIFY(!m_delegate->card().card()->theme().dark);
        QVERIFY(!ColorScheme::paletteIsDark(m_delegate->settingsWindow()->palette()));
        const int reads = onlyItem(*m_host)->reads;
        announceColorScheme(1);
        QTRY_VERIFY_WITH_TIMEOUT(onlyItem(*m_host)->reads > reads, 10'000);
        QCOMPARE(onlyItem(*m_host)->iconName, u"quilvant-symbolic"_s);
        QVERIFY(m_delegate->card().card()->theme().dark);
        QVERIFY(ColorScheme::paletteIsDark(m_delegate->settingsWindow()->palette()));
    }

    // A panel that restarts brings a new watcher: the item registers with it.
    void registersAgainWithANewWatcher()
    {
        m_host.reset();
        m_host.emplace();
        QVERIFY2(m_host->error().isEmpty(), qPrintable(m_host->error()));
        QTRY_VERIFY_WITH_TIMEOUT(onlyItem(*m_host).has_value(), 10'000);
        QCOMPARE(onlyItem(*m_host)->menu.size(), 8);
    }
};

QTEST_MAIN(TestStatusNotifier)
#include "tst_statusnotifier.moc"
