// Runs the real dispatcher over a table shaped like the program's, so that the dispatch rules (precedence,
// the last argument as a path, failure lines, exit statuses, asynchronous modes) can be observed from outside.
#include "app/Dispatcher.h"
#include "core/Console.h"

#include <QCoreApplication>
#include <QThread>
#include <QTimer>

using namespace quilvant;
using namespace quilvant::app;

namespace {

Mode syncMode(QStringList flags, QString prefix, std::function<Outcome<void>(const ModeContext&)> run)
{
    Mode mode;
    mode.flags = std::move(flags);
    mode.failurePrefix = std::move(prefix);
    mode.run = std::move(run);
    return mode;
}

} // namespace

int main(int argc, char** argv)
{
    QList<Mode> table;
    table.append(syncMode({QStringLiteral("--ocr-test")}, QStringLiteral("OCR test failed: "),
                          [](const ModeContext&) -> Outcome<void> {
                              Console::printLine(QStringLiteral("ran ocr"));
                              return {};
                          }));
    table.append(syncMode({QStringLiteral("--ui-preview"), QStringLiteral("--ui-regression-test")},
                          QStringLiteral("UI test failed: "), [](const ModeContext& context) -> Outcome<void> {
                              const QString output = context.has(QStringLiteral("--ui-preview"))
                                                         ? context.lastArgument()
                                                         : QStringLiteral("/default/previews");
                              Console::printLine(QStringLiteral("output=") + output);
                              return {};
                          }));
    table.append(
        syncMode({QStringLiteral("--fail")}, QStringLiteral("FAIL: "),
                 [](const ModeContext&) -> Outcome<void> { return AppFailure{QStringLiteral("出错了 (boom)")}; }));

    Mode async;
    async.flags = {QStringLiteral("--codex-speed-test"), QStringLiteral("--transport-test")};
    async.failurePrefix = QStringLiteral("FAIL: ");
    async.start = [](const ModeContext& context, Completion<void> done) {
        const bool failing = context.has(QStringLiteral("--async-fail"));
        const QString mock = context.has(QStringLiteral("--transport-test")) ? context.lastArgument() : QString();
        // Work that only runs if the main thread keeps serving its event loop: a timer, then a result handed
        // back from another thread through a queued call.
        QTimer::singleShot(20, QCoreApplication::instance(), [done, failing, mock] {
            QThread* worker = QThread::create([done, failing, mock] {
                QMetaObject::invokeMethod(QCoreApplication::instance(), [done, failing, mock] {
                    Console::printLine(QStringLiteral("mock=") + (mock.isNull() ? QStringLiteral("<none>") : mock));
                    if (failing) {
                        done(Error::system(QStringLiteral("late failure")));
                    } else {
                        done(Outcome<void>());
                    }
                });
            });
            QObject::connect(worker, &QThread::finished, worker, &QObject::deleteLater);
            worker->start();
        });
    };
    table.append(async);
    table.append(syncMode({QStringLiteral("--smoke-test")}, QStringLiteral("Smoke test failed: "),
                          [](const ModeContext&) -> Outcome<void> {
                              Console::printLine(QStringLiteral("ran smoke"));
                              return {};
                          }));

    return dispatch(argc, argv, table, [](int&, char**) {
        Console::printLine(QStringLiteral("normal start"));
        return 0;
    });
}
