// The card's window on a display of its own with two monitors: placement, pinning, Escape, resizing from
// the edges, the window hints and the translucent or opaque background.
#include "foundation/Settings.h"
#include "session/Model.h"
#include "session/ScriptedEngines.h"
#include "session/TranslationConsent.h"
#include "support/X11TestDisplay.h"
#include "ui/Card.h"
#include "ui/CardParts.h"
#include "ui/CardWindow.h"
#include "ui/FloatingPanel.h"

#include <QApplication>
#include <QCursor>
#include <QScreen>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <xcb/xcb.h>

using namespace quilvant;
using namespace quilvant::test;
using namespace Qt::Literals::StringLiterals;

namespace {

// Two monitors side by side; the strip below the smaller one belongs to neither.
const QRect leftMonitor(0, 0, 1000, 700);
const QRect rightMonitor(1000, 0, 800, 600);

xcb_connection_t* connection()
{
    return qGuiApp->nativeInterface<QNativeInterface::QX11Application>()->connection();
}

xcb_atom_t atom(const char* name)
{
    xcb_intern_atom_reply_t* reply = xcb_intern_atom_reply(
        connection(), xcb_intern_atom(connection(), 0, static_cast<uint16_t>(qstrlen(name)), name), nullptr);
    const xcb_atom_t value = reply != nullptr ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
    std::free(reply);
    return value;
}

QList<uint32_t> windowProperty(WId window, const char* name, xcb_atom_t type)
{
    QList<uint32_t> values;
    xcb_get_property_reply_t* reply = xcb_get_property_reply(
        connection(), xcb_get_property(connection(), 0, static_cast<xcb_window_t>(window), atom(name), type, 0, 64),
        nullptr);
    if (reply != nullptr && reply->format == 32) {
        const auto* data = static_cast<const uint32_t*>(xcb_get_property_value(reply));
        for (int i = 0; i < xcb_get_property_value_length(reply) / 4; ++i) {
            values.append(data[i]);
        }
    }
    std::free(reply);
    return values;
}

int depth(WId window)
{
    xcb_get_geometry_reply_t* reply = xcb_get_geometry_reply(
        connection(), xcb_get_geometry(connection(), static_cast<xcb_drawable_t>(window)), nullptr);
    const int value = reply != nullptr ? reply->depth : 0;
    std::free(reply);
    return value;
}

// Owns the compositor selection of screen 0 while it lives, as a compositing manager would.
class FakeCompositor
{
public:
    FakeCompositor()
    {
        xcb_connection_t* c = connection();
        m_window = xcb_generate_id(c);
        const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
        xcb_create_window(c, XCB_COPY_FROM_PARENT, m_window, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                          XCB_COPY_FROM_PARENT, 0, nullptr);
        xcb_set_selection_owner(c, m_window, atom("_NET_WM_CM_S0"), XCB_CURRENT_TIME);
        xcb_flush(c);
    }
    ~FakeCompositor()
    {
        xcb_destroy_window(connection(), m_window); // the selection goes with its owner
        xcb_flush(connection());
    }

private:
    xcb_window_t m_window;
};

} // namespace

class TestCardWindow : public QObject
{
    Q_OBJECT

    QTemporaryDir m_config;
    std::shared_ptr<ScriptedEngines> m_engines;
    std::unique_ptr<Model> m_model;
    std::unique_ptr<CardWindow> m_window;

    FloatingPanel* panel() const { return m_window->panel(); }

    void showAt(std::optional<QPoint> anchor)
    {
        m_window->showCard(anchor);
        QVERIFY(QTest::qWaitForWindowExposed(panel()));
    }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_CONFIG_HOME", m_config.path().toLocal8Bit());
        Settings::setValue(Settings::Key::translationPrivacyConsent, TranslationConsent::marker);
        Settings::setValue(Settings::Key::uiLanguage, u"en"_s);
        QCOMPARE(QGuiApplication::screens().size(), 2);
    }

    void init()
    {
        m_engines = std::make_shared<ScriptedEngines>();
        m_model = std::make_unique<Model>(m_engines);
        m_window = std::make_unique<CardWindow>(m_model.get());
    }

    void cleanup()
    {
        m_window.reset();
        m_model.reset();
        m_engines.reset();
    }

    void placement_data()
    {
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QPoint>("point");
        QTest::addColumn<QPoint>("origin");
        QTest::newRow("beside the point") << leftMonitor << QPoint(100, 100) << QPoint(118, 100);
        QTest::newRow("near the right edge") << leftMonitor << QPoint(900, 100) << QPoint(1000 - 430 - 12, 100);
        QTest::newRow("near the bottom edge") << leftMonitor << QPoint(100, 650) << QPoint(118, 700 - 500 - 12);
        QTest::newRow("left of the area") << leftMonitor << QPoint(-60, -40) << QPoint(12, 12);
        QTest::newRow("on the second monitor") << rightMonitor << QPoint(1700, 550) << QPoint(1358, 88);
        QTest::newRow("area smaller than the card: top and left margins win")
            << QRect(0, 0, 300, 300) << QPoint(150, 150) << QPoint(12, 12);
    }

    void placement()
    {
        QFETCH(QRect, available);
        QFETCH(QPoint, point);
        QFETCH(QPoint, origin);
        QCOMPARE(CardWindow::placement(point, available, QSize(430, 500)), origin);
    }

    void showsOnTheScreenThatHoldsTheAnchor_data()
    {
        QTest::addColumn<QPoint>("anchor");
        QTest::addColumn<QPoint>("origin");
        QTest::addColumn<QRect>("screen");
        QTest::newRow("left monitor") << QPoint(300, 200) << QPoint(318, 188) << leftMonitor;
        QTest::newRow("right monitor, near its right edge") << QPoint(1750, 40) << QPoint(1358, 40) << rightMonitor;
        QTest::newRow("in no monitor: the primary one") << QPoint(1500, 650) << QPoint(558, 188) << leftMonitor;
    }

    void showsOnTheScreenThatHoldsTheAnchor()
    {
        QFETCH(QPoint, anchor);
        QFETCH(QPoint, origin);
        QFETCH(QRect, screen);
        showAt(anchor);
        QCOMPARE(panel()->frameGeometry().topLeft(), origin);
        QVERIFY(screen.contains(panel()->frameGeometry()));
        QVERIFY(m_model->shownAt() < std::numeric_limits<double>::max());
        QCOMPARE(m_model->panel(), panel());
    }

    void withoutAnchorAHiddenCardOpensAtThePointer()
    {
        QCursor::setPos(200, 150);
        QTRY_COMPARE(QCursor::pos(), QPoint(200, 150));
        showAt(std::nullopt);
        QCOMPARE(panel()->pos(), QPoint(218, 150));
        QCursor::setPos(600, 100);
        QTRY_COMPARE(QCursor::pos(), QPoint(600, 100));
        showAt(std::nullopt); // already shown: stays
        QCOMPARE(panel()->pos(), QPoint(218, 150));
    }

    void aPinnedCardKeepsItsPlaceAndStaysForCaptures()
    {
        showAt(QPoint(100, 100));
        m_model->setPinned(true);
        const QRect frame = panel()->frameGeometry();
        m_window->prepareCardForCapture();
        QVERIFY(panel()->isVisible());
        QCOMPARE(m_model->status(), u"Select an area…"_s);
        showAt(QPoint(1500, 300));
        QCOMPARE(panel()->frameGeometry(), frame);

        m_model->setPinned(false);
        m_window->prepareCardForCapture();
        QVERIFY(!panel()->isVisible());
    }

    // Escape closes the card, a pinned one too.
    void escapeClosesTheCardAndStopsTheTranslation_data()
    {
        QTest::addColumn<bool>("pinned");
        QTest::newRow("unpinned") << false;
        QTest::newRow("pinned") << true;
    }
    void escapeClosesTheCardAndStopsTheTranslation()
    {
        QFETCH(bool, pinned);
        m_model->setPinned(pinned);
        m_model->setSource(u"Hello"_s);
        m_model->translate();
        QTRY_COMPARE(m_engines->calls.size(), 1);
        showAt(QPoint(100, 100));
        panel()->activateWindow();
        QTRY_VERIFY(panel()->isActiveWindow());
        QTest::keyClick(panel(), Qt::Key_Escape);
        QVERIFY(!panel()->isVisible());
        QVERIFY(!m_model->busy());
        QVERIFY(*m_engines->calls.first().cancelled);
        // Closing keeps the session: shown again, the card shows the same source.
        showAt(std::nullopt);
        QCOMPARE(m_model->source(), u"Hello"_s);
    }

    void aClickIntoTheCardTakesTheFocus()
    {
        QWidget other;
        other.resize(200, 100);
        other.move(1200, 300);
        other.show();
        QVERIFY(QTest::qWaitForWindowExposed(&other));
        other.activateWindow();
        QTRY_VERIFY(other.isActiveWindow());
        showAt(QPoint(100, 100));
        QTRY_VERIFY(panel()->isActiveWindow()); // shown, it takes the keyboard
        other.activateWindow();
        QTRY_VERIFY(other.isActiveWindow());
        QTest::mouseClick(m_window->card(), Qt::LeftButton, {}, QPoint(200, 300));
        QTRY_VERIFY(panel()->isActiveWindow());
    }

    void edgesAt_data()
    {
        QTest::addColumn<QPoint>("point");
        QTest::addColumn<int>("edges");
        const int w = FloatingPanel::initialSize.width();
        const int h = FloatingPanel::initialSize.height();
        QTest::newRow("top-left corner") << QPoint(0, 0) << int(Qt::TopEdge | Qt::LeftEdge);
        QTest::newRow("top-right corner") << QPoint(w - 1, 0) << int(Qt::TopEdge | Qt::RightEdge);
        QTest::newRow("bottom-right corner") << QPoint(w - 1, h - 1) << int(Qt::BottomEdge | Qt::RightEdge);
        QTest::newRow("top edge, 1 below") << QPoint(w / 2, 1) << int(Qt::TopEdge);
        QTest::newRow("left edge, 1 right") << QPoint(1, h / 2) << int(Qt::LeftEdge);
        QTest::newRow("just inside the band") << QPoint(w - 3, h / 2) << int(Qt::RightEdge);
        QTest::newRow("just past the band") << QPoint(w - 4, h / 2) << 0;
        QTest::newRow("20 right of the right edge") << QPoint(w + 19, h / 2) << 0;
        QTest::newRow("inside") << QPoint(w / 2, h / 2) << 0;
    }

    void edgesAt()
    {
        QFETCH(QPoint, point);
        QFETCH(int, edges);
        showAt(QPoint(100, 100));
        QCOMPARE(int(panel()->edgesAt(point)), edges);
    }

    // Without a window manager to take the resize over, the panel follows the pointer itself, never below its
    // minimum size.
    void resizesFromItsEdgesDownToTheMinimum()
    {
        showAt(QPoint(100, 100));
        const QRect start = panel()->geometry();
        const QPoint corner(start.width() - 1, start.height() - 1);
        QTest::mousePress(panel(), Qt::LeftButton, {}, corner);
        QTest::mouseMove(panel(), corner + QPoint(60, 40));
        QTest::mouseRelease(panel(), Qt::LeftButton, {}, corner + QPoint(60, 40));
        QTRY_COMPARE(panel()->size(), start.size() + QSize(60, 40));

        const QPoint left(1, panel()->height() / 2);
        QTest::mousePress(panel(), Qt::LeftButton, {}, left);
        QTest::mouseMove(panel(), left + QPoint(400, 0));
        QTest::mouseRelease(panel(), Qt::LeftButton, {}, left + QPoint(400, 0));
        QTRY_COMPARE(panel()->width(), FloatingPanel::minimumPanelSize.width());
        QCOMPARE(panel()->geometry().right(), start.right() + 60); // the other edge stays
        panel()->resize(10, 10);
        QCOMPARE(panel()->size(), FloatingPanel::minimumPanelSize);
    }

    void windowHintsKeepItOnEveryWorkspaceAndOutOfTheTaskBar()
    {
        showAt(QPoint(100, 100));
        const Qt::WindowFlags flags = panel()->windowFlags();
        QVERIFY(flags.testFlag(Qt::FramelessWindowHint));
        QVERIFY(flags.testFlag(Qt::WindowStaysOnTopHint));
        QCOMPARE(flags & Qt::WindowType_Mask, Qt::Tool);
        const QList<uint32_t> states = windowProperty(panel()->winId(), "_NET_WM_STATE", XCB_ATOM_ATOM);
        for (const char* state : {"_NET_WM_STATE_STICKY", "_NET_WM_STATE_SKIP_TASKBAR", "_NET_WM_STATE_SKIP_PAGER",
                                  "_NET_WM_STATE_ABOVE"}) {
            QVERIFY2(states.contains(atom(state)), state);
        }
        QCOMPARE(windowProperty(panel()->winId(), "_NET_WM_DESKTOP", XCB_ATOM_CARDINAL), QList<uint32_t>{0xFFFFFFFF});
        // Shown again, the states are not piled up.
        m_window->closeCard();
        showAt(std::nullopt);
        QCOMPARE(windowProperty(panel()->winId(), "_NET_WM_STATE", XCB_ATOM_ATOM).count(atom("_NET_WM_STATE_STICKY")),
                 1);
    }

    // Rounded and translucent only where a compositor blends it; the choice is made again at each showing.
    void backgroundFollowsTheCompositor()
    {
        showAt(QPoint(100, 100));
        QVERIFY(!panel()->translucent());
        QCOMPARE(depth(panel()->winId()), 24);
        QCOMPARE(m_window->card()->geometry(), panel()->rect());

        {
            const FakeCompositor compositor;
            m_window->closeCard();
            showAt(std::nullopt);
            QVERIFY(panel()->translucent());
            QCOMPARE(depth(panel()->winId()), 32);
            const int band = FloatingPanel::hitBand;
            QCOMPARE(m_window->card()->geometry(), panel()->rect().adjusted(band, band, -band, -band));
        }
        m_window->closeCard();
        showAt(std::nullopt);
        QVERIFY(!panel()->translucent());
        QCOMPARE(depth(panel()->winId()), 24);
    }
};

int main(int argc, char** argv)
{
    if (!X11::defineMonitors({leftMonitor, rightMonitor})) {
        std::fprintf(stderr, "xrandr could not define the monitors\n");
        return 1;
    }
    QApplication application(argc, argv);
    TestCardWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_cardwindow.moc"
