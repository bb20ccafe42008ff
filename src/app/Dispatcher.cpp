#include "app/Dispatcher.h"

#include "core/Console.h"

#include <QApplication>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QTimer>
#include <memory>

namespace quilvant::app {

namespace {

std::unique_ptr<QCoreApplication> makeApplication(Runtime runtime, int& argc, char** argv)
{
    if (QCoreApplication::instance() != nullptr) {
        return nullptr; // embedded in a process that already has one (tests)
    }
    if (runtime != Runtime::Console && qEnvironmentVariableIsEmpty("DISPLAY") &&
        qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        // Painting fixtures and previews needs no screen.
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    switch (runtime) {
    case Runtime::Console:
        return std::make_unique<QCoreApplication>(argc, argv);
    case Runtime::Gui:
        return std::make_unique<QGuiApplication>(argc, argv);
    case Runtime::Widgets:
        return std::make_unique<QApplication>(argc, argv);
    }
    return nullptr;
}

int report(const Mode& mode, const Outcome<void>& outcome)
{
    if (outcome.ok()) {
        return 0;
    }
    Console::printFailure(mode.failurePrefix, outcome.error().description());
    return 1;
}

} // namespace

const Mode* selectMode(const QList<Mode>& table, const QStringList& arguments)
{
    for (const Mode& mode : table) {
        for (const QString& flag : mode.flags) {
            if (arguments.contains(flag)) {
                return &mode;
            }
        }
    }
    return nullptr;
}

int dispatch(int& argc, char** argv, const QList<Mode>& table, const std::function<int(int&, char**)>& normalStart)
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    const Mode* mode = selectMode(table, arguments);
    if (mode == nullptr) {
        return normalStart(argc, argv);
    }

    const auto application = makeApplication(mode->runtime, argc, argv);
    const ModeContext context{arguments};
    if (mode->run) {
        return report(*mode, mode->run(context));
    }

    // Asynchronous: start the check from the event loop and serve the main thread until it reports.
    int status = 1;
    bool finished = false;
    QTimer::singleShot(0, QCoreApplication::instance(), [&] {
        mode->start(context, [&](Outcome<void> outcome) {
            if (finished) {
                return;
            }
            finished = true;
            status = report(*mode, outcome);
            QCoreApplication::exit(status);
        });
    });
    QCoreApplication::exec();
    return status;
}

} // namespace quilvant::app
