#include "app/AppDelegate.h"

#include "app/PointerRule.h"
#include "app/TrayIcon.h"
#include "capture/CaptureFlow.h"
#include "core/Console.h"
#include "core/Diagnostics.h"
#include "foundation/EngineKind.h"
#include "foundation/L.h"
#include "foundation/Settings.h"
#include "foundation/SettingsNotifier.h"
#include "history/History.h"
#include "history/HistoryStore.h"
#include "platform/ColorScheme.h"
#include "platform/Platform.h"
#include "platform/TrayPresence.h"
#include "recognition/Translation.h"
#include "session/Model.h"
#include "session/TranslationEngines.h"
#include "ui/CardWindow.h"
#include "ui/FloatingPanel.h"
#include "ui/HistorySettings.h"
#include "ui/HistoryWindow.h"
#include "ui/SettingsView.h"
#include "ui/SettingsWindow.h"
#include "ui/SornBrand.h"
#include "ui/StockLook.h"
#include "ui/WelcomeAlert.h"

#include <QApplication>
#include <QCursor>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QTimer>
#include <QWindow>
#include <algorithm>

namespace quilvant {

namespace {

// The program's icon for its windows: the installed one, else the same drawn here.
QIcon applicationIcon()
{
    QImage drawn(128, 128, QImage::Format_ARGB32_Premultiplied);
    drawn.fill(Qt::transparent);
    QPainter painter(&drawn);
    SornBrand::drawAppIcon(&painter, drawn.rect());
    painter.end();
    return QIcon::fromTheme(QStringLiteral(QUILVANT_ICON_NAME), QIcon(QPixmap::fromImage(drawn)));
}

} // namespace

AppDelegate::Backends AppDelegate::Backends::system()
{
    return {Platform::globalShortcut(),      Platform::outsideClicks(),
            CaptureFlow::Services::system(), Platform::globalShortcut(nullptr, true),
            Platform::selectionReader(),     {},
            Platform::watchShortcut(),       WatchFlow::Services::system()};
}

AppDelegate::AppDelegate(Backends backends, QObject* parent)
    : QObject(parent)
    , m_model(std::make_unique<Model>())
    , m_card(std::make_unique<CardWindow>(m_model.get()))
    , m_shortcut(std::move(backends.shortcut))
    , m_clicks(std::move(backends.clicks))
{
    m_capturePermitted = [tool = backends.capture.tool, permitted = backends.capture.permitted] {
        if (!tool || !permitted) {
            return true;
        }
        const std::unique_ptr<CaptureTool> chosen = tool();
        return permitted(*chosen);
    };
    m_flow = std::make_unique<CaptureFlow>(*m_model, *m_card, std::move(backends.capture));
    m_selectionShortcut = std::move(backends.selectionShortcut);
    std::unique_ptr<SelectionReader> selection = std::move(backends.selection);
    if (!selection) {
        selection = std::make_unique<NullSelectionReader>();
    }
    m_selectionFlow =
        std::make_unique<SelectionFlow>(*m_model, *m_card, std::move(selection), [] { return QCursor::pos(); });
    m_history =
        std::make_unique<History>(backends.historyPath.isEmpty() ? HistoryStore::defaultPath() : backends.historyPath);
    m_history->follow(*m_model);
    connect(m_history.get(), &History::notice, this, [this](const QString& message) {
        Console::printLine(QStringLiteral("Quilvant: ") + message);
        if (m_statusItem && m_statusItem->isVisible()) {
            m_statusItem->showMessage(QStringLiteral("Quilvant"), message);
        }
    });
    m_watchShortcut = std::move(backends.watchShortcut);
    m_watch = std::make_unique<WatchFlow>(*m_model, *m_card, std::move(backends.watch));
    connect(m_card.get(), &CardWindow::closed, m_watch.get(), [this] { m_watch->stop(WatchFlow::End::Closed); });
    // After the menu entry that asked has returned: the menu is built anew.
    connect(m_watch.get(), &WatchFlow::stateChanged, this, &AppDelegate::updateMenu, Qt::QueuedConnection);
    m_model->setConsentPrompt(&m_consent);
}

AppDelegate::~AppDelegate()
{
    m_model->stop();
    if (m_clicks) {
        m_clicks->disconnect(this);
    }
    for (GlobalShortcut* shortcut : {m_shortcut.get(), m_selectionShortcut.get()}) {
        if (shortcut != nullptr) {
            shortcut->disconnect(this);
            shortcut->unregister();
        }
    }
    m_historyWindow.reset();
    m_selectionFlow.reset();
    if (m_watchShortcut) {
        m_watchShortcut->disconnect(this);
        m_watchShortcut->unregister();
    }
    m_watch.reset();
    m_flow.reset();
    if (m_statusItem) {
        m_statusItem->hide();
    }
}

QStringList AppDelegate::warmUpLanguages(bool chineseInterface)
{
    if (chineseInterface) {
        return {QStringLiteral("zh-Hans"), QStringLiteral("en-US")};
    }
    return {QStringLiteral("en-US")};
}

void AppDelegate::applicationDidFinishLaunching(bool showCard)
{
    // No main window: closing the card or the settings leaves the program in the tray.
    QApplication::setQuitOnLastWindowClosed(false);
    QApplication::setWindowIcon(applicationIcon());
    // Where the desktop finds the launcher entry, and with it the icon and name, of our windows (Wayland's app id).
    QGuiApplication::setDesktopFileName(QStringLiteral(QUILVANT_DESKTOP_FILE).section(QLatin1Char('.'), 0, -2));
    warmUpEngine();
    // Loaded on the recognition thread while the person has not captured yet.
    Translation::warmUp(warmUpLanguages(L::chinese()));

    StockLook::follow(&m_menu);
    updateMenu();
    connect(SettingsNotifier::instance(), &SettingsNotifier::changed, this, [this](const QString& key) {
        if (key == Settings::Key::uiLanguage) {
            updateMenu();
        } else if (key == WatchFlow::shortcutKey) {
            registerWatchShortcut();
        }
    });
    // The item is made once a tray is there: at login the panel often starts after us. From then on the toolkit
    // shows it again whenever the tray restarts. Only a tray still missing after a while is worth a word.
    m_trayPresence = new TrayPresence(this);
    connect(m_trayPresence, &TrayPresence::appeared, this, &AppDelegate::makeStatusItem);
    QTimer::singleShot(trayGraceMs, this, [this] {
        if (!m_trayPresence->present()) {
            Diagnostics::record(QStringLiteral("tray.missing"));
            Console::printLine(QStringLiteral("Quilvant: this desktop shows no tray icons; capture with the "
                                              "shortcut or by running \"quilvant --capture\"."));
        }
    });

    m_model->setRequestSettings([self = QPointer<AppDelegate>(this)] {
        if (self) {
            self->showSettings();
        }
    });
    installInteractions();
    // The card's window is built once the launch has returned, ahead of the first capture.
    QTimer::singleShot(0, m_card.get(), &CardWindow::prepare);
    if (showCard) {
        showEmpty();
    }
    if (!Settings::onboarded()) {
        // After the launch has returned, so that a request that started the program is served meanwhile.
        QMetaObject::invokeMethod(this, &AppDelegate::showWelcome, Qt::QueuedConnection);
    }
}

void AppDelegate::warmUpEngine()
{
    TranslationEngines::shared()->engine(Engines::fromSettings())->warmUp();
}

void AppDelegate::makeStatusItem()
{
    if (m_statusItem) {
        return;
    }
    // Our own connection may hear of a new tray before the toolkit's has: an item made meanwhile docks only
    // once the toolkit notices. Asking is harmless now that a tray is there.
    if (!QSystemTrayIcon::isSystemTrayAvailable() && ++m_trayChecks < 50) {
        QTimer::singleShot(100, this, &AppDelegate::makeStatusItem);
        return;
    }
    m_statusItem = std::make_unique<QSystemTrayIcon>();
    refreshTrayIcon();
    // A host that draws the themed icon reloads it in its new colours when the icon is set again.
    connect(ColorScheme::instance(), &ColorScheme::changed, this, &AppDelegate::refreshTrayIcon);
    m_statusItem->setContextMenu(&m_menu);
    connect(m_statusItem.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        // A left click opens the menu too, as the right click does.
        if (reason == QSystemTrayIcon::Trigger) {
            m_menu.popup(QCursor::pos());
        }
    });
    updateMenu();
    m_statusItem->show();
}

void AppDelegate::refreshTrayIcon()
{
    if (m_statusItem) {
        m_statusItem->setIcon(TrayIcon::forPanel());
    }
}

void AppDelegate::updateMenu()
{
    struct Entry
    {
        const char16_t* key = nullptr; // none: a separator
        void (AppDelegate::*action)() = nullptr;
        QKeySequence keys = {};
        Qt::ConnectionType connection = Qt::AutoConnection;
    };
    const bool watching = m_watch->watching() || m_watch->selecting();
    // Top to bottom.
    const Entry entries[] = {
        // Once the menu has let go of the pointer, for the selection tool to take it.
        {u"框选翻译", &AppDelegate::capture, {}, Qt::QueuedConnection},
        {u"打开翻译卡片", &AppDelegate::showEmpty, {}, Qt::AutoConnection},
        {u"翻译选中文字", &AppDelegate::translateSelection, {}, Qt::QueuedConnection},
        {watching ? u"停止监视区域" : u"监视区域翻译", &AppDelegate::watch, {}, Qt::QueuedConnection},
        {u"翻译记录…", &AppDelegate::showHistory, {}, Qt::AutoConnection},
        {nullptr, nullptr, {}, Qt::AutoConnection},
        {u"设置…", &AppDelegate::showSettings, QKeySequence(Qt::CTRL | Qt::Key_Comma), Qt::AutoConnection},
        {u"退出 Sorn", &AppDelegate::quit, QKeySequence(Qt::CTRL | Qt::Key_Q), Qt::AutoConnection},
    };
    m_menu.clear();
    for (const Entry& entry : entries) {
        if (entry.key == nullptr) {
            m_menu.addSeparator();
            continue;
        }
        // A menu reads "&" as the mark of the next letter's access key ("Capture & Translate").
        QAction* action =
            m_menu.addAction(L::t(QString::fromUtf16(entry.key)).replace(QLatin1Char('&'), QStringLiteral("&&")));
        if (!entry.keys.isEmpty()) {
            action->setShortcut(entry.keys);
            action->setShortcutVisibleInContextMenu(true);
        }
        connect(action, &QAction::triggered, this, entry.action, entry.connection);
    }
    if (m_statusItem) {
        m_statusItem->setToolTip(L::t(QStringLiteral("Sorn · 框选翻译")));
    }
}

void AppDelegate::installInteractions()
{
    if (m_interactionsInstalled) {
        registerShortcut();
        return;
    }
    m_interactionsInstalled = true;
    if (m_shortcut) {
        connect(m_shortcut.get(), &GlobalShortcut::activated, this, &AppDelegate::capture, Qt::QueuedConnection);
        connect(m_shortcut.get(), &GlobalShortcut::registered, this, [this] { setShortcutRegistered(true); });
        connect(m_shortcut.get(), &GlobalShortcut::failed, this, [this](const QString& reason) {
            Diagnostics::record(QStringLiteral("shortcut.failed reason=") + reason);
            setShortcutRegistered(false);
            m_model->setError(L::t(QStringLiteral("快捷键注册失败，请在设置中选择另一个组合。")));
            showEmpty();
        });
    }
    if (m_selectionShortcut) {
        connect(m_selectionShortcut.get(), &GlobalShortcut::activated, this, &AppDelegate::translateSelection,
                Qt::QueuedConnection);
        // The capture's shortcut is the one the person relies on: the selection's failure only goes to the log.
        connect(m_selectionShortcut.get(), &GlobalShortcut::failed, this, [](const QString& reason) {
            Diagnostics::record(QStringLiteral("shortcut.failed role=selection reason=") + reason);
        });
    }
    registerShortcut();
    if (m_watchShortcut) {
        connect(m_watchShortcut.get(), &GlobalShortcut::activated, this, &AppDelegate::watch, Qt::QueuedConnection);
        connect(m_watchShortcut.get(), &GlobalShortcut::failed, this, [](const QString& reason) {
            // The menu entry and `quilvant --watch` still start a watch; the capture shortcut's message is enough.
            Diagnostics::record(QStringLiteral("shortcut.failed which=watch reason=") + reason);
        });
        registerWatchShortcut();
    }
    if (m_clicks) {
        connect(m_clicks.get(), &OutsideClicks::pressed, this,
                [this](const PointerPress& press) { handlePointerDown(press); });
        // The presses the toolkit delivers to our own windows, to know them when their raw copy comes.
        qApp->installEventFilter(this);
        if (qobject_cast<FocusLossClicks*>(m_clicks.get()) != nullptr) {
            // Where presses elsewhere cannot be seen, the card losing the focus to another program stands for one.
            connect(qGuiApp, &QGuiApplication::focusWindowChanged, this, &AppDelegate::focusWindowChanged);
        }
    }
}

void AppDelegate::focusWindowChanged(QWindow* window)
{
    const QWidget* panel = m_card->panel();
    const bool cardHadFocus = panel != nullptr && m_focusWindow && m_focusWindow == panel->windowHandle();
    m_focusWindow = window;
    // Focus that moves to another window of ours (a dialog the card opened, the settings) is no click elsewhere.
    if (cardHadFocus && window == nullptr) {
        static_cast<FocusLossClicks*>(m_clicks.get())->windowDeactivated();
    }
}

void AppDelegate::registerShortcut()
{
    if (m_shortcut) {
        m_shortcut->registerKey(Settings::shortcut().at(0));
    } else {
        setShortcutRegistered(false);
    }
    if (m_selectionShortcut) {
        m_selectionShortcut->registerKey(Settings::shortcut().at(0));
    }
}

void AppDelegate::registerWatchShortcut()
{
    if (m_watchShortcut) {
        m_watchShortcut->registerKey(WatchFlow::shortcutLetter().at(0));
    }
}

void AppDelegate::setShortcutRegistered(bool registered)
{
    m_shortcutRegistered = registered;
    if (m_settings) {
        m_settings->view()->setShortcutUnavailable(!registered);
    }
}

void AppDelegate::shortcutChanged()
{
    registerShortcut();
    updateMenu();
    // The settings window retitles itself when the interface language changes.
}

void AppDelegate::capture()
{
    if (m_watch->watching() && !m_model->captureInProgress()) {
        m_watch->stop(WatchFlow::End::Replaced);
    }
    m_flow->capture();
}

void AppDelegate::translateSelection()
{
    m_selectionFlow->translateSelection();
}

void AppDelegate::watch()
{
    if (m_watch->watching() || m_watch->selecting()) {
        m_watch->stop(WatchFlow::End::Stopped);
    } else {
        m_watch->start();
    }
}

void AppDelegate::showEmpty()
{
    m_card->showCard(std::nullopt);
}

void AppDelegate::showHistory()
{
    if (!m_historyWindow) {
        m_historyWindow = std::make_unique<HistoryWindow>(
            *m_history, [self = QPointer<AppDelegate>(this)](const HistoryEntry& entry) {
                if (self) {
                    self->openInCard(entry);
                }
            });
    }
    m_historyWindow->present();
}

void AppDelegate::openInCard(const HistoryEntry& entry)
{
    m_model->stop();
    m_model->setSource(entry.translation.source);
    m_model->setTranslated(entry.translation.translation);
    m_model->setError(std::nullopt);
    m_model->setStatus(L::t(QStringLiteral("翻译完成")));
    m_card->showCard(std::nullopt);
}

void AppDelegate::showSettings()
{
    if (!m_settings) {
        m_settings = std::make_unique<SettingsWindow>();
        SettingsView* view = m_settings->view();
        view->setShortcutChanged([self = QPointer<AppDelegate>(this)] {
            if (self) {
                self->shortcutChanged();
            }
        });
        view->setShortcutUnavailable(!m_shortcutRegistered);
        view->setCheckPermission(m_capturePermitted);
        view->setPermitted(m_capturePermitted());
        if (auto* rows = view->findChild<HistorySettings*>()) {
            rows->setSelectionAccess(m_selectionFlow->reader().access());
            rows->setClear([history = QPointer<History>(m_history.get())] {
                if (history) {
                    history->clear();
                }
            });
        }
    }
    m_settings->present();
}

void AppDelegate::showWelcome()
{
    QPointer<AppDelegate> self(this);
    ui::WelcomeAlert::show(nullptr, [self] {
        if (self) {
            self->showSettings();
        }
    });
}

void AppDelegate::handlePointerDown(const PointerPress& press, bool onCard)
{
    FloatingPanel* panel = m_card->panel();
    PointerRule::Card card{.exists = panel != nullptr,
                           .visible = panel != nullptr && panel->isVisible(),
                           .frame = panel != nullptr ? panel->frameGeometry() : QRect(),
                           .pinned = m_model->pinned(),
                           .captureInProgress = m_model->captureInProgress(),
                           .shownAt = m_model->shownAt()};
    std::optional<QPoint> position = press.position;
    if (position) {
        // X reports device pixels; the window's frame is in the toolkit's scaled points.
        const qreal ratio = qGuiApp != nullptr ? qGuiApp->devicePixelRatio() : 1.0;
        position = QPoint(qRound(position->x() / ratio), qRound(position->y() / ratio));
    }
    if (!PointerRule::closesCard(card, {.onCard = onCard,
                                        .onOwnWindow = onOwnWindow(position, press.stamp),
                                        .position = position,
                                        .at = press.at})) {
        return;
    }
    Diagnostics::record(QStringLiteral("card.outside-click"));
    m_card->closeCard();
}

bool AppDelegate::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonPress && watched->isWidgetType()) {
        const QWidget* window = static_cast<QWidget*>(watched)->window();
        if (window != m_card->panel()) {
            m_ownPresses.append(static_cast<QMouseEvent*>(event)->timestamp());
            if (m_ownPresses.size() > 8) {
                m_ownPresses.removeFirst();
            }
        }
    }
    return QObject::eventFilter(watched, event);
}

bool AppDelegate::onOwnWindow(std::optional<QPoint> position, std::optional<quint64> stamp) const
{
    // The consent the card asked for is part of its task: nothing closes the card while it is asked.
    if (QApplication::activeModalWidget() != nullptr) {
        return true;
    }
    // The toolkit may have handled the press already, and the dialog it answered be gone.
    if (stamp && m_ownPresses.contains(*stamp)) {
        return true;
    }
    if (!position) {
        return false;
    }
    const QWidgetList windows = QApplication::topLevelWidgets();
    return std::any_of(windows.cbegin(), windows.cend(), [&](const QWidget* window) {
        return window != m_card->panel() && window->isVisible() && window->frameGeometry().contains(*position);
    });
}

void AppDelegate::quit()
{
    m_model->stop();
    if (m_quit) {
        m_quit();
    }
}

} // namespace quilvant
