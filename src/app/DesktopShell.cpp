#include "app/DesktopShell.h"

#include "app/AppDelegate.h"
#include "core/ChildGroups.h"
#include "core/Console.h"
#include "foundation/L.h"
#include "foundation/SornBrand.h"
#include "platform/InstanceBus.h"
#include "ui/CardWindow.h"

#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>
#include <QTimer>

namespace quilvant::app {

namespace {

QString methodFor(InstanceRequest request)
{
    switch (request) {
    case InstanceRequest::Capture:
        return QStringLiteral("Capture");
    case InstanceRequest::Settings:
        return QStringLiteral("Settings");
    case InstanceRequest::None:
    case InstanceRequest::ShowCard:
        break;
    }
    return QStringLiteral("ShowCard");
}

QIcon trayIcon()
{
    QIcon icon;
    for (const qreal size : {16.0, 22.0, 24.0, 32.0, 48.0}) {
        icon.addPixmap(QPixmap::fromImage(SornBrand::mark(size, Qt::black, true)));
    }
    icon.setIsMask(true);
    return icon;
}

// The running desktop program: the delegate, the card's window, the tray icon and the one-instance name.
class Desktop final : public QObject
{
public:
    Desktop(InstanceBus* bus, Completion<void> done)
        : m_bus(bus)
        , m_done(std::move(done))
    {
        m_bus->setParent(this);
        QApplication::setQuitOnLastWindowClosed(false);
        m_delegate.setCard(&m_card);
        m_delegate.setQuitHandler([this] { finish(); });
        ChildGroups::setGentleQuit([this] { m_delegate.quit(); });
        connect(m_bus, &InstanceBus::captureRequested, &m_delegate, &AppDelegate::capture);
        connect(m_bus, &InstanceBus::showCardRequested, &m_delegate, &AppDelegate::showEmpty);
        connect(m_bus, &InstanceBus::settingsRequested, &m_delegate, &AppDelegate::settingsRequested);

        const QIcon icon = trayIcon();
        QApplication::setWindowIcon(icon);
        connect(m_menu.addAction(L::t(QStringLiteral("框选翻译"))), &QAction::triggered, &m_delegate,
                &AppDelegate::capture);
        connect(m_menu.addAction(L::t(QStringLiteral("打开翻译卡片"))), &QAction::triggered, &m_delegate,
                &AppDelegate::showEmpty);
        m_menu.addSeparator();
        connect(m_menu.addAction(L::t(QStringLiteral("退出 Sorn"))), &QAction::triggered, &m_delegate,
                &AppDelegate::quit);
        m_tray.setIcon(icon);
        m_tray.setToolTip(L::t(QStringLiteral("Sorn · 框选翻译")));
        m_tray.setContextMenu(&m_menu);
        if (QSystemTrayIcon::isSystemTrayAvailable()) {
            m_tray.show();
        } else {
            Console::printLine(QStringLiteral("Quilvant: this desktop shows no tray icons; capture with the shortcut "
                                              "or by running \"quilvant --capture\"."));
        }
        m_delegate.installInteractions();
    }

    ~Desktop() override
    {
        ChildGroups::setGentleQuit(nullptr);
        m_delegate.setCard(nullptr);
    }

    AppDelegate& delegate() { return m_delegate; }

private:
    void finish()
    {
        if (m_done) {
            auto done = std::move(m_done);
            m_done = nullptr;
            done({});
        }
    }

    InstanceBus* m_bus;
    Completion<void> m_done;
    AppDelegate m_delegate;
    CardWindow m_card{&m_delegate.model()};
    QMenu m_menu;
    QSystemTrayIcon m_tray;
};

std::unique_ptr<Desktop>& runningDesktop()
{
    static std::unique_ptr<Desktop> desktop;
    return desktop;
}

} // namespace

void startDesktop(InstanceRequest request, Completion<void> done)
{
    auto* bus = new InstanceBus();
    if (bus->claim() == InstanceBus::Claim::Taken) {
        delete bus;
        done(InstanceBus::ask(methodFor(request)));
        return;
    }
    // Torn down while the application object still stands, before the event loop returns to the caller.
    QObject::connect(qApp, &QCoreApplication::aboutToQuit, qApp, [] { runningDesktop().reset(); });
    runningDesktop() = std::make_unique<Desktop>(bus, std::move(done));
    AppDelegate& delegate = runningDesktop()->delegate();
    switch (request) {
    case InstanceRequest::Capture:
        delegate.capture();
        break;
    case InstanceRequest::ShowCard:
        delegate.showEmpty();
        break;
    case InstanceRequest::Settings:
        Q_EMIT delegate.settingsRequested();
        break;
    case InstanceRequest::None:
        break;
    }
}

int runDesktop(int& argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quilvant"));
    ChildGroups::installSignalHandlers();
    int status = 0;
    QTimer::singleShot(0, &application, [&status] {
        startDesktop(InstanceRequest::None, [&status](Outcome<void> outcome) {
            if (!outcome) {
                Console::printFailure(QStringLiteral("Quilvant: "), outcome.error().description());
                status = 1;
            }
            QCoreApplication::exit(status);
        });
    });
    const int loop = QApplication::exec();
    return status != 0 ? status : loop;
}

} // namespace quilvant::app
