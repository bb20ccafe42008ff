#include "app/AppDelegate.h"
#include "core/Clock.h"
#include "core/Diagnostics.h"
#include "foundation/L.h"
#include "foundation/Settings.h"
#include "platform/X11GlobalShortcut.h"
#include "platform/X11OutsideClicks.h"
#include "support/ShellCaptureTool.h"
#include "support/X11TestDisplay.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

using namespace Qt::StringLiterals;
using namespace quilvant;
using namespace quilvant::test;

namespace {

// A delegate with the display's shortcut and click backends whose captures run `script`.
std::unique_ptr<AppDelegate> delegateWith(const QString& script, int* toolsMade)
{
    CaptureFlow::Services capture = CaptureFlow::Services::system();
    capture.tool = [script, toolsMade] {
        ++*toolsMade;
        return shellTool(script);
    };
    capture.permitted = [](const CaptureTool&) { return true; };
    return std::make_unique<AppDelegate>(
        AppDelegate::Backends{X11GlobalShortcut::create(), X11OutsideClicks::create(), std::move(capture)});
}

QStringList events()
{
    QFile file(Diagnostics::logPath());
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()).split(u'\n') : QStringList();
}

int count(const QString& event)
{
    int n = 0;
    for (const QString& line : events()) {
        n += line.endsWith(u' ' + event) ? 1 : 0;
    }
    return n;
}

} // namespace

class TestAppDelegate : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;

public:
    static void initMain() { qputenv("QT_QPA_PLATFORM", "offscreen"); }

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_RUNTIME_DIR", m_home.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", m_home.path().toLocal8Bit());
    }
    void init()
    {
        QFile::remove(Diagnostics::logPath());
        Settings::clearOverrides();
    }

    // The shortcut starts one capture; presses while it runs are ignored.
    void shortcutStartsOneCapture()
    {
        QTemporaryDir gate;
        const QString go = gate.filePath(u"go"_s);
        int toolsMade = 0;
        auto delegate = delegateWith(u"while [ ! -e '%1' ]; do sleep 0.02; done; exit 1"_s.arg(go), &toolsMade);
        QSignalSpy finished(&delegate->flow(), &CaptureFlow::finished);
        delegate->installInteractions();
        QVERIFY(!delegate->model().error().has_value());
        QVERIFY(X11::xdotool({u"key"_s, u"alt+d"_s, u"alt+d"_s}));
        QTRY_VERIFY(delegate->model().captureInProgress());
        QVERIFY(X11::xdotool({u"key"_s, u"alt+d"_s}));
        QFile(go).open(QIODevice::WriteOnly);
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(toolsMade, 1);
        QCOMPARE(count(u"capture.started"_s), 1);
    }

    // A shortcut another program holds: the card says so, and the menu's capture still works.
    void shortcutTaken()
    {
        const X11::ForeignKeyGrab other('d');
        QVERIFY(other.held());
        int toolsMade = 0;
        auto delegate = delegateWith(u"exit 1"_s, &toolsMade);
        QSignalSpy finished(&delegate->flow(), &CaptureFlow::finished);
        const double before = Clock::uptime();
        delegate->installInteractions();
        QCOMPARE(delegate->model().errorText(), L::t(u"快捷键注册失败，请在设置中选择另一个组合。"_s));
        QVERIFY(delegate->model().shownAt() >= before);
        QCOMPARE(count(u"card.shown"_s), 1);
        delegate->capture();
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(toolsMade, 1);

        // Another letter in the settings is taken into use at once.
        Settings::setOverride(Settings::Key::shortcut, u"T"_s);
        delegate->shortcutChanged();
        QVERIFY(X11::xdotool({u"key"_s, u"alt+t"_s}));
        QTRY_COMPARE(finished.count(), 2);
    }

    // A real click elsewhere closes a visible, unpinned card shown before it; one inside does not.
    void outsideClickClosesTheCard()
    {
        int toolsMade = 0;
        auto delegate = delegateWith(u"exit 1"_s, &toolsMade);
        delegate->installInteractions();
        QWidget panel;
        panel.setGeometry(400, 300, 300, 200);
        panel.show();
        delegate->model().setPanel(&panel);
        delegate->model().setShownAt(Clock::uptime());
        const QRect frame = panel.frameGeometry();

        QVERIFY(X11::xdotool({u"mousemove"_s, QString::number(frame.center().x()), QString::number(frame.center().y()),
                              u"click"_s, u"1"_s, u"mousemove"_s, u"20"_s, u"20"_s, u"click"_s, u"3"_s}));
        QTRY_VERIFY(!panel.isVisible());
        QCOMPARE(count(u"card.outside-click"_s), 1);
        QCOMPARE(count(u"card.closed"_s), 1);
    }
};

QTEST_MAIN(TestAppDelegate)
#include "tst_appdelegate.moc"
