#include "app/Dispatcher.h"

#include "app/GraphicalSession.h"
#include "core/ChildGroups.h"
#include "core/Console.h"
#include "foundation/L.h"

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
    if (runtime == Runtime::Gui && qEnvironmentVariableIsEmpty("DISPLAY") &&
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

// A result that never reached its reader is a failure, whatever the mode made of it.
int checkOutput(const Mode& mode, int status)
{
    const QString error = Console::outputError();
    if (status != 0 || error.isEmpty()) {
        return status;
    }
    return report(mode, AppFailure{L::t(QStringLiteral("无法写入标准输出：%1")).arg(error)});
}

// Qt's own options (QGuiApplication, QApplication and the X11 platform), and whether each takes a value.
bool isQtOption(const QString& option, bool* takesValue)
{
    static const QStringList withValue = {
        QStringLiteral("-platform"),        QStringLiteral("-platformpluginpath"),
        QStringLiteral("-platformtheme"),   QStringLiteral("-plugin"),
        QStringLiteral("-qwindowgeometry"), QStringLiteral("-qwindowicon"),
        QStringLiteral("-qwindowtitle"),    QStringLiteral("-session"),
        QStringLiteral("-display"),         QStringLiteral("-geometry"),
        QStringLiteral("-title"),           QStringLiteral("-name"),
        QStringLiteral("-style"),           QStringLiteral("-stylesheet"),
    };
    static const QStringList alone = {
        QStringLiteral("-reverse"), QStringLiteral("-widgetcount"), QStringLiteral("-nograb"),
        QStringLiteral("-dograb"),  QStringLiteral("-sync"),        QStringLiteral("-testability"),
    };
    static const QStringList withEquals = {
        QStringLiteral("-style="),   QStringLiteral("-stylesheet="), QStringLiteral("-qmljsdebugger="),
        QStringLiteral("-dialogs="), QStringLiteral("-fontengine="),
    };
    *takesValue = withValue.contains(option);
    if (*takesValue || alone.contains(option)) {
        return true;
    }
    for (const QString& prefix : withEquals) {
        if (option.startsWith(prefix)) {
            return true;
        }
    }
    return false;
}

} // namespace

QString unknownOption(const QStringList& arguments, const QStringList& known)
{
    for (qsizetype i = 0; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QStringLiteral("--")) {
            return {};
        }
        if (argument.size() < 2 || !argument.startsWith(QLatin1Char('-')) || known.contains(argument)) {
            continue;
        }
        // Qt reads "--platform" as "-platform".
        const QString single = argument.startsWith(QStringLiteral("--")) ? argument.mid(1) : argument;
        bool takesValue = false;
        if (!isQtOption(single, &takesValue)) {
            return argument;
        }
        i += takesValue ? 1 : 0;
    }
    return {};
}

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

int dispatch(int& argc, char** argv, const QList<Mode>& table, const std::function<int(int&, char**)>& normalStart,
             const QStringList& startFlags)
{
    ModeContext context;
    for (int i = 1; i < argc; ++i) {
        context.nativeArguments.append(QByteArray(argv[i]));
        context.arguments.append(QString::fromLocal8Bit(argv[i]));
    }
    const Mode* mode = selectMode(table, context.arguments);
    if (mode == nullptr) {
        if (const QString unknown = unknownOption(context.arguments, startFlags); !unknown.isEmpty()) {
            Console::printFailure(QString(), L::t(QStringLiteral("未知选项：%1")).arg(unknown) + QLatin1Char('\n') +
                                                 L::t(QStringLiteral("运行 quilvant --help 查看可用的模式和选项。")));
            return 2;
        }
    }
    if (mode == nullptr || mode->runtime == Runtime::Widgets) {
        if (const std::optional<QString> missing = GraphicalSession::missing(context.arguments)) {
            Console::printFailure(QString(), *missing);
            return 1;
        }
    }
    if (mode == nullptr) {
        return normalStart(argc, argv);
    }

    const auto application = makeApplication(mode->runtime, argc, argv);
    if (application) {
        ChildGroups::installSignalHandlers();
    }
    if (mode->run) {
        return checkOutput(*mode, report(*mode, mode->run(context)));
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
    if (!finished && ChildGroups::receivedSignal() != 0) {
        return 128 + ChildGroups::receivedSignal();
    }
    return checkOutput(*mode, status);
}

} // namespace quilvant::app
