#include "app/DesktopShell.h"

#include "app/AppDelegate.h"
#include "core/ChildGroups.h"
#include "core/Console.h"
#include "platform/InstanceBus.h"

#include <QApplication>
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
    case InstanceRequest::TranslateSelection:
        return QStringLiteral("TranslateSelection");
    case InstanceRequest::History:
        return QStringLiteral("History");
    case InstanceRequest::None:
    case InstanceRequest::ShowCard:
        break;
    }
    return QStringLiteral("ShowCard");
}

// The running desktop program: the delegate (card, tray, shortcut, captures) and the one-instance name.
class Desktop final : public QObject
{
public:
    Desktop(InstanceBus* bus, bool showCard, Completion<void> done)
        : m_bus(bus)
        , m_done(std::move(done))
    {
        m_bus->setParent(this);
        m_delegate.setQuitHandler([this] { finish(); });
        ChildGroups::setGentleQuit([this] { m_delegate.quit(); });
        connect(m_bus, &InstanceBus::captureRequested, &m_delegate, &AppDelegate::capture);
        connect(m_bus, &InstanceBus::showCardRequested, &m_delegate, &AppDelegate::showEmpty);
        connect(m_bus, &InstanceBus::settingsRequested, &m_delegate, &AppDelegate::showSettings);
        connect(m_bus, &InstanceBus::translateSelectionRequested, &m_delegate, &AppDelegate::translateSelection);
        connect(m_bus, &InstanceBus::historyRequested, &m_delegate, &AppDelegate::showHistory);
        m_delegate.applicationDidFinishLaunching(showCard);
    }

    ~Desktop() override { ChildGroups::setGentleQuit(nullptr); }

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
    runningDesktop() = std::make_unique<Desktop>(bus, request == InstanceRequest::ShowCard, std::move(done));
    AppDelegate& delegate = runningDesktop()->delegate();
    switch (request) {
    case InstanceRequest::Capture:
        delegate.capture();
        break;
    case InstanceRequest::Settings:
        delegate.showSettings();
        break;
    case InstanceRequest::TranslateSelection:
        delegate.translateSelection();
        break;
    case InstanceRequest::History:
        delegate.showHistory();
        break;
    case InstanceRequest::ShowCard:
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
