#pragma once

#include "core/Async.h"
#include "core/Outcome.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <functional>

// Command-line dispatch: the first mode of the table whose flag the command line contains runs, everything
// else is ignored; with none, the desktop program starts.
namespace quilvant::app {

// The Qt application object a mode needs.
enum class Runtime
{
    Console, // QCoreApplication: no display needed
    Gui,     // QGuiApplication: fonts and painting; falls back to the offscreen platform without a display
    Widgets, // QApplication: windows
};

struct ModeContext
{
    QStringList arguments;                  // the command line without the program name
    QList<QByteArray> nativeArguments = {}; // the same, byte for byte (file names need not be UTF-8)

    bool has(const QString& flag) const { return arguments.contains(flag); }
    // Modes that take a path read it from the last argument, whatever it is.
    QString lastArgument() const { return arguments.isEmpty() ? QString() : arguments.last(); }
};

struct Mode
{
    QStringList flags = {};     // any one of them, as a whole argument anywhere, selects the mode
    QString help = {};          // one line for --help
    QString failurePrefix = {}; // written before the error's description on standard error
    Runtime runtime = Runtime::Console;
    // Exactly one of the two is set. A synchronous mode runs to completion on the main thread; an
    // asynchronous one is started on the main thread's event loop, which keeps serving GUI-thread work until
    // `done` is called.
    std::function<Outcome<void>(const ModeContext&)> run = {};
    std::function<void(const ModeContext&, Completion<void> done)> start = {};
};

// The first mode of `table`, in table order, one of whose flags `arguments` contains; nullptr when none.
const Mode* selectMode(const QList<Mode>& table, const QStringList& arguments);

// Runs the mode `arguments` select and returns the process status: 0 after success, 1 after the failure line
// (also when a write to standard output failed), 128 + the signal's number when a signal ended it. Without a
// mode, returns normalStart(argc, argv); an argument that looks like an option but is neither one of `startFlags`
// nor one of Qt's own gives a failure line with the help hint and status 2 instead. The desktop program and the
// window modes need a display: without one, a failure line and status 1.
int dispatch(int& argc, char** argv, const QList<Mode>& table, const std::function<int(int&, char**)>& normalStart,
             const QStringList& startFlags = {});

// The first argument that looks like an option (it begins with "-") but is none of `known` and none of Qt's own
// (-platform, -display, -style=…, with "--" as well as "-"); "" when there is none. The value that follows a Qt
// option taking one is skipped, and "--" ends the options.
QString unknownOption(const QStringList& arguments, const QStringList& known);

// The program's own table, in the order the modes are tested.
QList<Mode> programModes();

// main(): dispatch over programModes(), the desktop program otherwise.
int run(int& argc, char** argv);

} // namespace quilvant::app
