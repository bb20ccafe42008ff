// The desktop's light or dark preference, against a stand-in desktop portal on the test's session bus.
#include "platform/ColorScheme.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QPalette>
#include <QSignalSpy>
#include <QTest>

using namespace quilvant;
using namespace Qt::Literals::StringLiterals;

namespace {

const QString portalService = u"org.freedesktop.portal.Desktop"_s;
const QString portalPath = u"/org/freedesktop/portal/desktop"_s;

// The Settings interface of the portal, answering Read for the colour scheme as real portals do.
class StandInPortal final : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.portal.Settings")

public:
    uint scheme = 0;
    bool wrapTwice = false; // older portals put the value in one variant more
    int reads = 0;

public Q_SLOTS:
    QDBusVariant Read(const QString& group, const QString& key, const QDBusMessage& message)
    {
        ++reads;
        if (group != u"org.freedesktop.appearance"_s || key != u"color-scheme"_s) {
            QDBusConnection::sessionBus().send(
                message.createErrorReply(u"org.freedesktop.portal.Error.NotFound"_s, u"no such setting"_s));
            return {};
        }
        const QVariant value = QVariant::fromValue(scheme);
        return wrapTwice ? QDBusVariant(QVariant::fromValue(QDBusVariant(value))) : QDBusVariant(value);
    }
};

// Counts the portal's SettingChanged signals as the program's own connection receives them.
class SettingsSignals final : public QObject
{
    Q_OBJECT

public:
    int count = 0;

public Q_SLOTS:
    void changed(const QString&, const QString&, const QDBusVariant&) { ++count; }
};

void announce(QDBusConnection& bus, const QString& group, const QString& key, uint scheme)
{
    QDBusMessage signal =
        QDBusMessage::createSignal(portalPath, u"org.freedesktop.portal.Settings"_s, u"SettingChanged"_s);
    signal << group << key << QVariant::fromValue(QDBusVariant(QVariant::fromValue(scheme)));
    QVERIFY(bus.send(signal));
}

QPalette paletteWithWindow(const QColor& colour)
{
    QPalette palette = QGuiApplication::palette();
    palette.setColor(QPalette::Window, colour);
    return palette;
}

} // namespace

class TestColorScheme : public QObject
{
    Q_OBJECT

    QDBusConnection m_portalBus = QDBusConnection::connectToBus(QDBusConnection::SessionBus, u"portal"_s);
    StandInPortal m_portal;
    bool m_registered = false;

    void registerPortal()
    {
        QVERIFY(m_portalBus.registerObject(portalPath, &m_portal, QDBusConnection::ExportAllSlots));
        QVERIFY(m_portalBus.registerService(portalService));
        m_registered = true;
    }

private Q_SLOTS:
    void cleanup()
    {
        m_portal.reads = 0;
        if (m_registered) {
            m_portalBus.unregisterService(portalService);
            m_portalBus.unregisterObject(portalPath);
            m_registered = false;
        }
        QGuiApplication::setPalette(paletteWithWindow(Qt::white));
    }

    void withoutAPortalThePaletteDecides()
    {
        QGuiApplication::setPalette(paletteWithWindow(Qt::white));
        ColorScheme scheme;
        QVERIFY(!scheme.dark());
        QSignalSpy changed(&scheme, &ColorScheme::changed);
        QGuiApplication::setPalette(paletteWithWindow(QColor(30, 30, 30)));
        QVERIFY(scheme.dark());
        QCOMPARE(changed.count(), 1);
    }

    void thePortalsPreferenceWins_data()
    {
        QTest::addColumn<uint>("scheme");
        QTest::addColumn<bool>("wrapTwice");
        QTest::addColumn<QColor>("window");
        QTest::newRow("prefers dark over a light palette") << 1u << false << QColor(Qt::white);
        QTest::newRow("prefers light over a dark palette") << 2u << false << QColor(20, 20, 20);
        QTest::newRow("older portal's double variant") << 1u << true << QColor(Qt::white);
    }

    void thePortalsPreferenceWins()
    {
        QFETCH(uint, scheme);
        QFETCH(bool, wrapTwice);
        QFETCH(QColor, window);
        QGuiApplication::setPalette(paletteWithWindow(window));
        m_portal.scheme = scheme;
        m_portal.wrapTwice = wrapTwice;
        registerPortal();
        ColorScheme watcher;
        QSignalSpy changed(&watcher, &ColorScheme::changed);
        QVERIFY(changed.wait());
        QCOMPARE(watcher.dark(), scheme == 1);
        // Stated by the desktop, the preference outlasts palette changes.
        QGuiApplication::setPalette(paletteWithWindow(scheme == 1 ? Qt::white : QColor(20, 20, 20)));
        QCOMPARE(watcher.dark(), scheme == 1);
    }

    void withoutAPreferenceThePaletteDecides()
    {
        QGuiApplication::setPalette(paletteWithWindow(QColor(20, 20, 20)));
        m_portal.scheme = 0;
        registerPortal();
        ColorScheme watcher;
        QTRY_COMPARE(m_portal.reads, 1);
        QVERIFY(watcher.dark());
        QSignalSpy changed(&watcher, &ColorScheme::changed);
        QGuiApplication::setPalette(paletteWithWindow(Qt::white));
        QVERIFY(!watcher.dark());
        QCOMPARE(changed.count(), 1);
    }

    // The answer to the first question may arrive after the desktop announced a change: the change stands.
    void aLateAnswerDoesNotUndoAnAnnouncedChange()
    {
        QGuiApplication::setPalette(paletteWithWindow(Qt::white));
        m_portal.scheme = 0;
        registerPortal();
        ColorScheme watcher;
        QSignalSpy changed(&watcher, &ColorScheme::changed);
        announce(m_portalBus, u"org.freedesktop.appearance"_s, u"color-scheme"_s, 1); // before the question is served
        QVERIFY(changed.wait());
        QTRY_COMPARE(m_portal.reads, 1);
        // The answer ("no preference") went out before this signal, on the same connection: once the signal is
        // here, so is the answer.
        SettingsSignals seen;
        QVERIFY(QDBusConnection::sessionBus().connect(portalService, portalPath, u"org.freedesktop.portal.Settings"_s,
                                                      u"SettingChanged"_s, &seen,
                                                      SLOT(changed(QString, QString, QDBusVariant))));
        announce(m_portalBus, u"org.freedesktop.appearance"_s, u"accent-color"_s, 0);
        QTRY_COMPARE(seen.count, 1);
        QVERIFY(watcher.dark());
        QCOMPARE(changed.count(), 1);
    }

    void switchesLiveWhenTheDesktopChanges()
    {
        QGuiApplication::setPalette(paletteWithWindow(Qt::white));
        m_portal.scheme = 2;
        registerPortal();
        ColorScheme watcher;
        QSignalSpy changed(&watcher, &ColorScheme::changed);
        announce(m_portalBus, u"org.freedesktop.appearance"_s, u"accent-color"_s, 1); // another setting
        announce(m_portalBus, u"org.freedesktop.appearance"_s, u"color-scheme"_s, 1);
        QVERIFY(changed.wait());
        QVERIFY(watcher.dark());
        QCOMPARE(changed.count(), 1);
        // A palette change does not override the desktop's stated preference.
        QGuiApplication::setPalette(paletteWithWindow(Qt::white));
        QVERIFY(watcher.dark());
        announce(m_portalBus, u"org.freedesktop.appearance"_s, u"color-scheme"_s, 2);
        QVERIFY(changed.wait());
        QVERIFY(!watcher.dark());
    }
};

QTEST_MAIN(TestColorScheme)
#include "tst_colorscheme.moc"
