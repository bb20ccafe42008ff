#include "platform/PortalCaptureTool.h"
#include "platform/PortalGlobalShortcut.h"
#include "support/PortalStandIn.h"

#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quilvant;
using namespace quilvant::test;

namespace {

QString triggerOf(const PortalStandIn& portal)
{
    return portal.bound.isEmpty()
               ? QString()
               : portal.bound.constFirst().properties.value(QStringLiteral("preferred_trigger")).toString();
}

} // namespace

class TestPortals : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void globalShortcut()
    {
        PortalStandIn portal;
        QVERIFY(portal.registered());
        PortalGlobalShortcut shortcut;
        QSignalSpy registered(&shortcut, &GlobalShortcut::registered);
        QSignalSpy activated(&shortcut, &GlobalShortcut::activated);
        shortcut.registerKey(QLatin1Char('D'));
        QTRY_COMPARE(registered.count(), 1);
        QCOMPARE(portal.bound.size(), 1);
        QCOMPARE(portal.bound.constFirst().id, PortalGlobalShortcut::shortcutId);
        QCOMPARE(triggerOf(portal), QStringLiteral("ALT+d"));

        // Another id is not ours; the one after it is, and arrives after it.
        portal.activate(QStringLiteral("other"));
        portal.activate(PortalGlobalShortcut::shortcutId);
        QTRY_COMPARE(activated.count(), 1);

        // A new registration replaces the session and binds the new letter.
        const QString first = portal.openSessions.constLast();
        shortcut.registerKey(QLatin1Char('T'));
        QTRY_COMPARE(registered.count(), 2);
        QVERIFY(portal.closedSessions.contains(first));
        QCOMPARE(triggerOf(portal), QStringLiteral("ALT+t"));
        portal.activate(PortalGlobalShortcut::shortcutId);
        QTRY_COMPARE(activated.count(), 2);

        shortcut.unregister();
        QTRY_COMPARE(portal.openSessions.size(), 0);
    }

    void globalShortcutRefused_data()
    {
        QTest::addColumn<bool>("portalThere");
        QTest::addColumn<uint>("bindResponse");
        QTest::addColumn<QString>("reason");
        QTest::newRow("declined by the person") << true << 1U << u"declined"_s;
        QTest::newRow("desktop error") << true << 2U << u"answered 2"_s;
        QTest::newRow("no portal") << false << 0U << u"refused the request"_s;
    }
    void globalShortcutRefused()
    {
        QFETCH(uint, bindResponse);
        QFETCH(QString, reason);
        QFETCH(bool, portalThere);
        std::unique_ptr<PortalStandIn> portal;
        if (portalThere) {
            portal = std::make_unique<PortalStandIn>();
            portal->bindResponse = bindResponse;
        }
        PortalGlobalShortcut shortcut;
        QSignalSpy failed(&shortcut, &GlobalShortcut::failed);
        QSignalSpy registered(&shortcut, &GlobalShortcut::registered);
        shortcut.registerKey(QLatin1Char('D'));
        QTRY_COMPARE(failed.count(), 1);
        QVERIFY2(failed.constFirst().constFirst().toString().contains(reason),
                 qPrintable(failed.constFirst().constFirst().toString()));
        QCOMPARE(registered.count(), 0);
        if (portal) {
            QTRY_COMPARE(portal->openSessions.size(), 0);
        }
    }

    // The portal's answers become tool statuses; a picture it saved is moved to the capture's path.
    void screenshot_data()
    {
        QTest::addColumn<bool>("portalThere");
        QTest::addColumn<uint>("response");
        QTest::addColumn<int>("status"); // -1: the tool could not start
        QTest::newRow("selected") << true << 0U << 0;
        QTest::newRow("cancelled") << true << 1U << 1;
        QTest::newRow("failed") << true << 2U << 2;
        QTest::newRow("no portal") << false << 0U << -1;
    }
    void screenshot()
    {
        QFETCH(uint, response);
        QFETCH(bool, portalThere);
        QFETCH(int, status);
        QImage image(40, 20, QImage::Format_RGB32);
        image.fill(Qt::darkCyan);
        QBuffer png;
        png.open(QIODevice::WriteOnly);
        QVERIFY(image.save(&png, "PNG"));

        std::unique_ptr<PortalStandIn> portal;
        if (portalThere) {
            portal = std::make_unique<PortalStandIn>();
            portal->screenshotResponse = response;
            portal->screenshotPng = png.data();
        }
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("kestu-TEST.png"));
        PortalCaptureTool tool;
        QCOMPARE(tool.available(), portalThere);
        std::optional<Outcome<int>> outcome;
        tool.capture(path, [&outcome](Outcome<int> result) { outcome = std::move(result); });
        QTRY_VERIFY(outcome.has_value());
        if (status < 0) {
            QVERIFY(!*outcome);
            QVERIFY(outcome->error().description().contains(QStringLiteral("portal")));
            return;
        }
        QVERIFY(*outcome);
        QCOMPARE(outcome->value(), status);
        QCOMPARE(portal->lastScreenshotOptions.value(QStringLiteral("interactive")).toBool(), true);
        QCOMPARE(QFile::exists(path), status == 0);
        if (status == 0) {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadOnly));
            QCOMPARE(file.readAll(), png.data());
            QVERIFY(!QFile::exists(portal->lastScreenshotFile)); // moved, not left in the person's pictures
        }
    }
};

QTEST_GUILESS_MAIN(TestPortals)
#include "tst_portals.moc"
