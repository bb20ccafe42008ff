// The controller on a display of its own: the real key grab and raw pointer presses, the card's window, the
// tray menu, the settings window, the welcome and the consent.
#include "app/AppDelegate.h"
#include "app/TrayIcon.h"
#include "core/Clock.h"
#include "core/Diagnostics.h"
#include "foundation/L.h"
#include "foundation/Settings.h"
#include "platform/X11GlobalShortcut.h"
#include "platform/X11OutsideClicks.h"
#include "platform/X11Window.h"
#include "session/Model.h"
#include "session/TranslationConsent.h"
#include "support/ModalAlerts.h"
#include "support/ShellCaptureTool.h"
#include "support/StatusNotifierHost.h"
#include "support/X11TestDisplay.h"
#include "ui/CardKeyboard.h"
#include "ui/CardWindow.h"
#include "ui/FloatingPanel.h"
#include "ui/SettingsView.h"
#include "ui/SettingsWindow.h"
#include "ui/SornBrand.h"

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;
using namespace quilvant;
using namespace quilvant::test;

namespace {

// A delegate with the given click backend (the display's raw presses unless given) and the display's key grab,
// whose captures run `script`.
std::unique_ptr<AppDelegate> delegateWith(const QString& script, int* toolsMade,
                                          std::unique_ptr<OutsideClicks> clicks = X11OutsideClicks::create())
{
    CaptureFlow::Services capture = CaptureFlow::Services::system();
    capture.tool = [script, toolsMade] {
        ++*toolsMade;
        return shellTool(script);
    };
    capture.permitted = [](const CaptureTool&) { return true; };
    return std::make_unique<AppDelegate>(
        AppDelegate::Backends{X11GlobalShortcut::create(), std::move(clicks), std::move(capture), nullptr, {}});
}

int count(const QString& event)
{
    QFile file(Diagnostics::logPath());
    if (!file.open(QIODevice::ReadOnly)) {
        return 0;
    }
    int n = 0;
    for (const QString& line : QString::fromUtf8(file.readAll()).split(u'\n')) {
        n += line.endsWith(u' ' + event) ? 1 : 0;
    }
    return n;
}

// The menu as shown: each entry's text (access-key marks taken out) and shortcut, "-" for a separator.
QStringList menuEntries(const QMenu& menu)
{
    QStringList entries;
    for (const QAction* action : menu.actions()) {
        if (action->isSeparator()) {
            entries.append(u"-"_s);
            continue;
        }
        const QString keys = action->isShortcutVisibleInContextMenu()
                                 ? action->shortcut().toString(QKeySequence::PortableText)
                                 : QString();
        entries.append(keys.isEmpty() ? action->iconText() : action->iconText() + u" | "_s + keys);
    }
    return entries;
}

bool commandShown(const SettingsWindow& window)
{
    return !window.findChild<QWidget*>(u"shortcutHelpRow"_s)->isHidden();
}

} // namespace

class TestAppDelegate : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;

private Q_SLOTS:
    void initTestCase()
    {
        qputenv("XDG_RUNTIME_DIR", m_home.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", m_home.path().toLocal8Bit());
    }
    void init()
    {
        QFile::remove(Diagnostics::logPath());
        QFile::remove(Settings::filePath());
        Settings::clearOverrides();
        Settings::setValue(Settings::Key::uiLanguage, u"en"_s);
        Settings::setValue(Settings::Key::onboarded, true);
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
        QVERIFY(delegate->shortcutRegistered());
        QVERIFY(!delegate->model().error().has_value());
        QVERIFY(X11::xdotool({u"key"_s, u"alt+d"_s, u"alt+d"_s}));
        QTRY_VERIFY(delegate->model().captureInProgress());
        QVERIFY(X11::xdotool({u"key"_s, u"alt+d"_s}));
        QFile(go).open(QIODevice::WriteOnly);
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(toolsMade, 1);
        QCOMPARE(count(u"capture.started"_s), 1);
    }

    // A shortcut another program holds: the card says so, the settings show the command to bind, and the menu's
    // capture still works. Another letter chosen in the settings is taken into use at once.
    void shortcutTaken()
    {
        const X11::ForeignKeyGrab other('d');
        QVERIFY(other.held());
        int toolsMade = 0;
        auto delegate = delegateWith(u"exit 1"_s, &toolsMade);
        QSignalSpy finished(&delegate->flow(), &CaptureFlow::finished);
        const double before = Clock::uptime();
        delegate->applicationDidFinishLaunching();
        QVERIFY(!delegate->shortcutRegistered());
        QCOMPARE(delegate->model().errorText(), L::t(u"快捷键注册失败，请在设置中选择另一个组合。"_s));
        QVERIFY(delegate->model().shownAt() >= before);
        QVERIFY(delegate->card().isShown());
        delegate->menu().actions().constFirst()->trigger();
        QTRY_COMPARE(finished.count(), 1);
        QCOMPARE(toolsMade, 1);

        delegate->showSettings();
        SettingsWindow* settings = delegate->settingsWindow();
        QVERIFY(settings->isVisible());
        QVERIFY(commandShown(*settings));
        auto* picker = settings->findChild<QComboBox*>(u"shortcut"_s);
        picker->setCurrentIndex(picker->findData(u"T"_s));
        QCOMPARE(Settings::shortcut(), u"T"_s);
        QVERIFY(delegate->shortcutRegistered());
        QVERIFY(!commandShown(*settings));
        QVERIFY(X11::xdotool({u"key"_s, u"alt+t"_s}));
        QTRY_COMPARE(finished.count(), 2);
    }

    // The old combination is given back when the shortcut changes: another program can grab it now.
    void changedShortcutReleasesTheOldOne()
    {
        int toolsMade = 0;
        auto delegate = delegateWith(u"exit 1"_s, &toolsMade);
        delegate->installInteractions();
        QVERIFY(!X11::ForeignKeyGrab('d').held());
        Settings::setValue(Settings::Key::shortcut, u"S"_s);
        delegate->shortcutChanged();
        QVERIFY(X11::ForeignKeyGrab('d').held());
        QVERIFY(!X11::ForeignKeyGrab('s').held());
    }

    // A real click elsewhere closes the shown card; one into it does not.
    void outsideClickClosesTheCard()
    {
        int toolsMade = 0;
        auto delegate = delegateWith(u"exit 1"_s, &toolsMade);
        delegate->installInteractions();
        QSignalSpy closed(&delegate->card(), &CardWindow::closed);
        delegate->card().showCard(QPoint(400, 300));
        FloatingPanel* panel = delegate->card().panel();
        QVERIFY(QTest::qWaitForWindowExposed(panel));
        const QRect frame = panel->frameGeometry();

        QVERIFY(X11::xdotool({u"mousemove"_s, QString::number(frame.center().x()), QString::number(frame.center().y()),
                              u"click"_s, u"1"_s, u"mousemove"_s, u"20"_s, u"20"_s, u"click"_s, u"3"_s}));
        QTRY_VERIFY(!panel->isVisible());
        QCOMPARE(closed.count(), 1);
        QCOMPARE(count(u"card.outside-click"_s), 1);
        QCOMPARE(count(u"card.closed"_s), 1);
    }

    // Answering the consent the card asked for with the mouse is no click elsewhere: the card stays open for
    // the translation (the dialog may be gone by the time the raw press is read).
    void consentClickKeepsTheCard_data()
    {
        QTest::addColumn<QString>("answer");
        QTest::newRow("agree") << u"Agree and continue"_s;
        QTest::newRow("cancel") << u"Cancel"_s;
    }
    void consentClickKeepsTheCard()
    {
        QFETCH(QString, answer);
        int toolsMade = 0;
        auto delegate = delegateWith(u"exit 1"_s, &toolsMade);
        delegate->installInteractions();
        delegate->card().showCard(QPoint(100, 100));
        QVERIFY(QTest::qWaitForWindowExposed(delegate->card().panel()));
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            if (box == nullptr || !box->windowHandle() || !box->windowHandle()->isExposed()) {
                return;
            }
            for (const QPushButton* button : box->findChildren<QPushButton*>()) {
                if (button->text() == answer) {
                    poll.stop();
                    const QPoint at = button->mapToGlobal(button->rect().center());
                    X11::xdotool(
                        {u"mousemove"_s, QString::number(at.x()), QString::number(at.y()), u"click"_s, u"1"_s});
                }
            }
        });
        poll.start(50);
        delegate->model().setSource(u"Hello"_s);
        delegate->model().translate();
        QCOMPARE(TranslationConsent::given(), answer.startsWith(u"Agree"_s));
        QTest::qWait(300);
        QVERIFY(delegate->card().isShown());
        QCOMPARE(count(u"card.outside-click"_s), 0);
        delegate->model().stop();
    }

    // The shown card has the keyboard, with or without a window manager. Where the focus went elsewhere,
    // Escape still closes an unpinned card and is left to the other application beside a pinned one.
    void escapeReachesTheShownCard_data()
    {
        QTest::addColumn<bool>("windowManager");
        QTest::addColumn<bool>("focusElsewhere");
        QTest::addColumn<bool>("pinned");
        QTest::addColumn<bool>("closes");
        QTest::newRow("no window manager") << false << false << false << true;
        QTest::newRow("openbox") << true << false << false << true;
        QTest::newRow("openbox, pinned") << true << false << true << true;
        QTest::newRow("focus elsewhere") << false << true << false << true;
        QTest::newRow("focus elsewhere, pinned") << false << true << true << false;
    }
    void escapeReachesTheShownCard()
    {
        QFETCH(bool, windowManager);
        QFETCH(bool, focusElsewhere);
        QFETCH(bool, pinned);
        QFETCH(bool, closes);
        std::optional<X11::WindowManager> manager;
        if (windowManager) {
            manager.emplace();
            QVERIFY2(manager->error().isEmpty(), qPrintable(manager->error()));
        }
        int toolsMade = 0;
        auto delegate = delegateWith(u"exit 1"_s, &toolsMade);
        delegate->installInteractions();
        delegate->model().setPinned(pinned);
        QVERIFY(X11::xdotool({u"mousemove"_s, u"5"_s, u"5"_s}));
        delegate->showEmpty();
        FloatingPanel* panel = delegate->card().panel();
        QTRY_VERIFY_WITH_TIMEOUT(panel->isActiveWindow(), 15'000);
        QTRY_VERIFY(!delegate->card().keyboard()->escapeGrabbed());
        if (focusElsewhere) {
            X11Window::releaseInputFocus();
            QTRY_VERIFY(!panel->isActiveWindow());
            QTRY_COMPARE(delegate->card().keyboard()->escapeGrabbed(), !pinned);
        }
        QVERIFY(X11::xdotool({u"key"_s, u"Escape"_s}));
        if (closes) {
            QTRY_VERIFY(!panel->isVisible());
        } else {
            QTest::qWait(300);
            QVERIFY(panel->isVisible());
        }
        QTRY_VERIFY(!delegate->card().keyboard()->escapeGrabbed());
    }

    // Where presses elsewhere cannot be seen, the card losing the focus to another program closes it.
    void focusLossClosesTheCard()
    {
        int toolsMade = 0;
        auto delegate = delegateWith(u"exit 1"_s, &toolsMade, std::make_unique<FocusLossClicks>());
        delegate->installInteractions();
        delegate->card().showCard(QPoint(400, 300));
        FloatingPanel* panel = delegate->card().panel();
        QVERIFY(QTest::qWaitForWindowExposed(panel));
        panel->activateWindow();
        QTRY_VERIFY(panel->isActiveWindow());
        X11Window::releaseInputFocus();
        QTRY_VERIFY(!panel->isVisible());
        QCOMPARE(count(u"card.outside-click"_s), 1);
    }

    // The tray menu's entries with their keys (the four first ones in their places, the newer ones before the
    // separator), relabelled when the interface language changes; the card's
    // settings button opens the one settings window.
    void menuAndSettings()
    {
        int toolsMade = 0;
        // A panel to show the item, whose tooltip follows the language too.
        const StatusNotifierHost host;
        QVERIFY2(host.error().isEmpty(), qPrintable(host.error()));
        auto delegate = delegateWith(u"exit 1"_s, &toolsMade);
        delegate->applicationDidFinishLaunching();
        QTRY_VERIFY_WITH_TIMEOUT(delegate->statusItem() != nullptr, 10'000);
        QCOMPARE(
            menuEntries(delegate->menu()),
            (QStringList{u"Capture & Translate"_s, u"Open Translation"_s, u"Translate Selection"_s, u"Watch Region"_s,
                         u"History…"_s, u"-"_s, u"Settings… | Ctrl+,"_s, u"Quit Quilvant | Ctrl+Q"_s}));
        QCOMPARE(delegate->statusItem()->toolTip(), u"Quilvant · Screenshot translator"_s);
        QVERIFY(!delegate->statusItem()->icon().isNull());

        Settings::setValue(Settings::Key::uiLanguage, u"zh"_s);
        QCOMPARE(menuEntries(delegate->menu()),
                 (QStringList{u"框选翻译"_s, u"打开翻译卡片"_s, u"翻译选中文字"_s, u"监视区域翻译"_s, u"翻译记录…"_s,
                              u"-"_s, u"设置… | Ctrl+,"_s, u"退出 Quilvant | Ctrl+Q"_s}));
        QCOMPARE(delegate->statusItem()->toolTip(), u"Quilvant · 框选翻译"_s);

        QVERIFY(delegate->settingsWindow() == nullptr);
        delegate->model().requestSettings()();
        SettingsWindow* settings = delegate->settingsWindow();
        QVERIFY(settings != nullptr && settings->isVisible());
        QCOMPARE(settings->windowTitle(), u"Quilvant 设置"_s);
        QVERIFY(!commandShown(*settings));
        settings->close();
        delegate->menu().actions().at(6)->trigger();
        QCOMPARE(delegate->settingsWindow(), settings);
        QVERIFY(settings->isVisible());

        bool quit = false;
        delegate->setQuitHandler([&quit] { quit = true; });
        delegate->menu().actions().last()->trigger();
        QVERIFY(quit);
    }

    // The colour icon's pixmaps in every case; the themed symbolic icon's name only where the theme has it.
    void trayIcon_data()
    {
        QTest::addColumn<bool>("installed");
        QTest::newRow("symbolic icon installed") << true;
        QTest::newRow("not installed") << false;
    }
    void trayIcon()
    {
        QFETCH(bool, installed);
        QTemporaryDir themes;
        if (installed) {
            QVERIFY(QDir(themes.path()).mkpath(u"hicolor/symbolic/apps"_s));
            QFile index(themes.filePath(u"hicolor/index.theme"_s));
            QVERIFY(index.open(QIODevice::WriteOnly));
            index.write("[Icon Theme]\nName=Hicolor\nDirectories=symbolic/apps\n\n"
                        "[symbolic/apps]\nSize=16\nMinSize=8\nMaxSize=512\nType=Scalable\n");
            index.close();
            QFile svg(themes.filePath(u"hicolor/symbolic/apps/quilvant-symbolic.svg"_s));
            QVERIFY(svg.open(QIODevice::WriteOnly));
            svg.write("<svg xmlns='http://www.w3.org/2000/svg' width='16' height='16'><rect width='16' height='16'/>"
                      "</svg>");
        }
        QIcon::setThemeSearchPaths({themes.path()});
        QIcon::setThemeName(u"hicolor"_s);
        const QIcon icon = TrayIcon::forPanel();
        QCOMPARE(icon.name(), installed ? u"quilvant-symbolic"_s : QString());
        for (const int size : {16, 22, 32}) {
            const QImage drawn = icon.pixmap(size).toImage();
            QCOMPARE(drawn.size(), QSize(size, size));
            // The brand's square at the left edge, the white mark somewhere on the middle row.
            QCOMPARE(QColor(drawn.pixel(1, size / 2)).name(), SornBrand::color().name());
            bool white = false;
            for (int x = 0; x < size && !white; ++x) {
                white = drawn.pixel(x, size / 2) == qRgb(255, 255, 255);
            }
            QVERIFY2(white, qPrintable(QString::number(size)));
        }
    }

    // The welcome shows at the first launch and never again; "Get started" opens the settings.
    void welcomeOnce()
    {
        Settings::remove(Settings::Key::onboarded);
        int toolsMade = 0;
        auto first = delegateWith(u"exit 1"_s, &toolsMade);
        SeenAlert seen;
        answerNextAlert(u"Get started"_s, &seen);
        first->applicationDidFinishLaunching();
        QTRY_COMPARE(seen.text, u"Welcome to Quilvant"_s);
        QTRY_VERIFY(first->settingsWindow() != nullptr);
        QVERIFY(Settings::onboarded());
        first.reset();

        auto second = delegateWith(u"exit 1"_s, &toolsMade);
        SeenAlert again;
        answerNextAlert(u"Later"_s, &again);
        second->applicationDidFinishLaunching();
        // The welcome would be on its way as a posted call: deliver what was posted.
        QCoreApplication::sendPostedEvents();
        QCOMPARE(again.text, QString());
        QVERIFY(second->settingsWindow() == nullptr);
    }

    // The consent is asked before the first translation; once given, never again.
    void consentBeforeTheFirstTranslation()
    {
        int toolsMade = 0;
        auto delegate = delegateWith(u"exit 1"_s, &toolsMade);
        Model& model = delegate->model();
        model.setSource(u"Hello"_s);
        SeenAlert declined;
        answerNextAlert(u"Cancel"_s, &declined);
        model.translate();
        QCOMPARE(declined.text, u"Before you translate"_s);
        QVERIFY(!model.busy());

        SeenAlert agreed;
        answerNextAlert(u"Agree and continue"_s, &agreed);
        model.translate();
        QCOMPARE(agreed.text, u"Before you translate"_s);
        QVERIFY(TranslationConsent::given());
        QCOMPARE(model.status(), u"Translating…"_s);

        SeenAlert none;
        answerNextAlert(u"Cancel"_s, &none);
        model.translate();
        QCOMPARE(none.text, QString());
        QCOMPARE(model.status(), u"Translating…"_s);
        model.stop();
    }
};

QTEST_MAIN(TestAppDelegate)
#include "tst_appdelegate.moc"
