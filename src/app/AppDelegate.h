#pragma once

#include "capture/CaptureFlow.h"
#include "capture/SelectionFlow.h"
#include "capture/WatchFlow.h"
#include "history/HistoryEntry.h"
#include "platform/GlobalShortcut.h"
#include "platform/OutsideClicks.h"
#include "ui/ConsentDialog.h"

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <functional>
#include <memory>

class QWindow;

namespace quilvant {

class CardWindow;
class History;
class HistoryWindow;
class Model;
class SettingsWindow;
class TrayPresence;

// The desktop program's controller: owns the one Model, the card's window, the settings window, the tray item
// and its menu, the global shortcut, the watch on clicks elsewhere and the capture flow. Lives on the GUI thread.
class AppDelegate final : public QObject
{
    Q_OBJECT

public:
    struct Backends
    {
        std::unique_ptr<GlobalShortcut> shortcut;
        std::unique_ptr<OutsideClicks> clicks;
        CaptureFlow::Services capture;
        std::unique_ptr<GlobalShortcut> selectionShortcut = {}; // Alt + Shift + the letter; none: not offered
        std::unique_ptr<SelectionReader> selection = {};        // none: nothing can be read
        // Where the history is kept; empty: HistoryStore::defaultPath().
        QString historyPath = {};
        std::unique_ptr<GlobalShortcut> watchShortcut = {}; // none: watching is started from the menu and the command
        WatchFlow::Services watch = {};
        // The platform's own: the session's shortcuts, click backends, capture, selection and watch services.
        static Backends system();
    };

    // How long a tray may take to appear before the program says that the desktop shows none.
    static constexpr int trayGraceMs = 5000;

    explicit AppDelegate(Backends backends = Backends::system(), QObject* parent = nullptr);
    // Clean-up at the end: the translation stops, the shortcut is given back, a running capture ends (its tool
    // is stopped and its file deleted).
    ~AppDelegate() override;

    Model& model() const { return *m_model; }
    CaptureFlow& flow() const { return *m_flow; }
    SelectionFlow& selectionFlow() const { return *m_selectionFlow; }
    History& history() const { return *m_history; }
    // Null until the history was first shown.
    HistoryWindow* historyWindow() const { return m_historyWindow.get(); }
    WatchFlow& watchFlow() const { return *m_watch; }
    CardWindow& card() const { return *m_card; }
    QMenu& menu() { return m_menu; }
    // Null until a tray is there to show it (see TrayPresence).
    QSystemTrayIcon* statusItem() const { return m_statusItem.get(); }
    // Null until the settings were first shown.
    SettingsWindow* settingsWindow() const { return m_settings.get(); }

    // The launch sequence: no window of its own; the engine and recognition warmed up without waiting; the tray
    // item and its menu; the interactions; the empty card when `showCard` (--show-card); the welcome on the first
    // launch.
    void applicationDidFinishLaunching(bool showCard = false);

    // Builds the tray menu anew in the interface language.
    void updateMenu();
    // Registers the shortcut and starts listening for clicks elsewhere.
    void installInteractions();
    // (Re)registers Alt + the letter of the `shortcut` setting; a failure shows its message on the card.
    void registerShortcut();
    // Whether the last registration of the shortcut succeeded (false until it has).
    bool shortcutRegistered() const { return m_shortcutRegistered; }
    // The settings changed the shortcut or the interface language: take them into use at once.
    void shortcutChanged();

    void capture();
    void translateSelection();
    // Starts watching a region (the person drags it), or ends the watch that runs.
    void watch();
    void showEmpty();
    void showHistory();
    // Shows a kept translation in the card, as it was when it finished.
    void openInCard(const HistoryEntry& entry);
    void showSettings();
    // The welcome; whatever the answer, it is not shown again.
    void showWelcome();
    // Closes the card for a press elsewhere when every condition of PointerRule holds. A press on another window
    // of ours (a dialog, the settings, the tray menu), or any press while a dialog of ours waits for an answer,
    // is not elsewhere.
    void handlePointerDown(const PointerPress& press, bool onCard = false);
    // Stops the translation and asks the program to end.
    void quit();
    void setQuitHandler(std::function<void()> handler) { m_quit = std::move(handler); }

    // What recognition loads at launch: the script of the interface language, and Latin.
    static QStringList warmUpLanguages(bool chineseInterface);

private:
    bool eventFilter(QObject* watched, QEvent* event) override;
    bool onOwnWindow(std::optional<QPoint> position, std::optional<quint64> stamp) const;
    void warmUpEngine();
    void refreshTrayIcon();
    void makeStatusItem();
    void setShortcutRegistered(bool registered);
    void registerWatchShortcut();
    void focusWindowChanged(QWindow* window);

    ui::ConsentDialog m_consent; // asked by the model: made first, gone last
    std::unique_ptr<Model> m_model;
    std::unique_ptr<CardWindow> m_card;
    std::unique_ptr<GlobalShortcut> m_shortcut;
    std::unique_ptr<OutsideClicks> m_clicks;
    // Whether a capture could run now (the settings window's screen-access row).
    std::function<bool()> m_capturePermitted;
    std::unique_ptr<CaptureFlow> m_flow;
    std::unique_ptr<GlobalShortcut> m_selectionShortcut;
    std::unique_ptr<SelectionFlow> m_selectionFlow;
    std::unique_ptr<History> m_history;
    std::unique_ptr<HistoryWindow> m_historyWindow;
    std::unique_ptr<GlobalShortcut> m_watchShortcut;
    std::unique_ptr<WatchFlow> m_watch;
    std::unique_ptr<SettingsWindow> m_settings;
    QMenu m_menu;
    TrayPresence* m_trayPresence = nullptr;
    std::unique_ptr<QSystemTrayIcon> m_statusItem;
    int m_trayChecks = 0; // how often the toolkit was asked whether it sees the tray that appeared
    std::function<void()> m_quit;
    bool m_interactionsInstalled = false;
    bool m_shortcutRegistered = false;
    QPointer<QWindow> m_focusWindow;
    // The stamps of the last presses the toolkit delivered to our windows other than the card's.
    QList<quint64> m_ownPresses;
};

} // namespace quilvant
