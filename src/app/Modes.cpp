#include "app/DesktopShell.h"
#include "app/Dispatcher.h"
#include "app/RegressionTest.h"
#include "core/ChildGroups.h"
#include "core/Console.h"
#include "foundation/L.h"
#include "recognition/RecognizeCommand.h"
#include "selftest/CodexChecks.h"
#include "selftest/MiniMaxChecks.h"
#include "selftest/OCRChecks.h"
#include "selftest/SmokeTest.h"
#include "session/CommandLineTranslation.h"
#include "ui/UIChecks.h"

#include <QDir>

namespace quilvant::app {

namespace {

const QString fail = QStringLiteral("FAIL: ");

const QString instancePrefix = QStringLiteral("Quilvant: ");

Outcome<void> printHelp(const ModeContext&);

std::function<void(const ModeContext&, Completion<void>)> startDesktopFor(InstanceRequest request)
{
    return [request](const ModeContext&, Completion<void> done) { startDesktop(request, std::move(done)); };
}

void startCodexChecks(const ModeContext& context, Completion<void> done)
{
    QString mock = context.has(QStringLiteral("--transport-test")) ? context.lastArgument() : QString();
    if (!mock.isEmpty()) {
        // The child starts in its own working directory: a path typed relative to ours must not change meaning.
        mock = QDir::current().absoluteFilePath(mock);
    }
    CodexChecks::run(mock, std::move(done));
}

// The directory given after --ui-preview; without one (the flag is last, or a flag follows), the default.
Outcome<void> runUIChecks(const ModeContext& context)
{
    const qsizetype flag = context.arguments.indexOf(QStringLiteral("--ui-preview"));
    const QString given = flag >= 0 ? context.arguments.value(flag + 1) : QString();
    if (!given.isEmpty() && !given.startsWith(QStringLiteral("--"))) {
        return SornUIChecks::run(QDir::current().absoluteFilePath(given));
    }
    const Outcome<QString> fallback = SornUIChecks::defaultOutputDir();
    if (!fallback) {
        return fallback.error();
    }
    return SornUIChecks::run(fallback.value());
}

Outcome<void> recognizeFiles(const ModeContext& context)
{
    // The names as given, byte for byte: a name that is not UTF-8 still names its file.
    const qsizetype flag = context.arguments.indexOf(QStringLiteral("--recognize"));
    return recognizeCommand(context.nativeArguments.mid(flag + 1));
}

} // namespace

QList<Mode> programModes()
{
    // The order is the order in which the flags are tested. Modes that draw text (fixtures, glyph shapes) need
    // the system's fonts, hence a GUI application.
    return {
        {.flags = {QStringLiteral("--ocr-test")},
         .help = QStringLiteral("recognise five drawn lines (English, French, Chinese, Japanese, Korean)"),
         .failurePrefix = QStringLiteral("OCR test failed: "),
         .runtime = Runtime::Gui,
         .run = [](const ModeContext&) { return OCRChecks::run(); }},
        {.flags = {QStringLiteral("--ui-preview"), QStringLiteral("--ui-regression-test")},
         .help = QStringLiteral("check the card's window, its paste trigger and collapse state on real windows and "
                                "write five preview images (--ui-preview DIR: into DIR; otherwise into ui-previews in "
                                "the private temporary directory)"),
         .failurePrefix = QStringLiteral("UI test failed: "),
         .runtime = Runtime::Widgets,
         .run = runUIChecks},
        {.flags = {QStringLiteral("--minimax-parser-test")},
         .help = QStringLiteral("check the MiniMax event-stream assembly offline"),
         .failurePrefix = fail,
         .run = [](const ModeContext&) { return MiniMaxChecks::parser(); }},
        {.flags = {QStringLiteral("--minimax-speed-test")},
         .help = QStringLiteral("time MiniMax translations with the API key read from standard input "
                                "(--optimized-only: thinking disabled only)"),
         .failurePrefix = fail,
         .start =
             [](const ModeContext& context, Completion<void> done) {
                 // A key is one line of at most a few kilobytes; /dev/zero must not fill the memory.
                 const std::optional<QString> key = Console::readLine(64 * 1024);
                 if (!key) {
                     done(AppFailure{L::t(QStringLiteral("标准输入的第一行过长，不是 API Key。"))});
                     return;
                 }
                 MiniMaxChecks::speed(*key, !context.has(QStringLiteral("--optimized-only")), std::move(done));
             }},
        {.flags = {QStringLiteral("--codex-speed-test"), QStringLiteral("--transport-test")},
         .help = QStringLiteral("check the agent engine with the real CLI, or with --transport-test PATH against the "
                                "app-server stand-in at PATH"),
         .failurePrefix = fail,
         .start = startCodexChecks},
        {.flags = {QStringLiteral("--window-regression-test")},
         .help = QStringLiteral("check on the X server that the card's window shows, stays shown when the program "
                                "loses the focus, keeps its place when pinned and hides for a capture when not"),
         .failurePrefix = QStringLiteral("Window regression test failed: "),
         .runtime = Runtime::Widgets,
         .run = [](const ModeContext&) { return WindowRegressionTest::run(); }},
        {.flags = {QStringLiteral("--regression-test")},
         .help = QStringLiteral("check on the X server when a click closes the card's window: not when stamped "
                                "before it showed, not during a capture, not when pinned; otherwise outside it"),
         .failurePrefix = QStringLiteral("Regression test failed: "),
         .runtime = Runtime::Widgets,
         .run = [](const ModeContext&) { return RegressionTest::run(); }},
        {.flags = {QStringLiteral("--smoke-test")},
         .help = QStringLiteral("recognise a drawn line, then translate it with the coding-agent engine"),
         .failurePrefix = QStringLiteral("Smoke test failed: "),
         .runtime = Runtime::Gui,
         .start = [](const ModeContext&, Completion<void> done) { SmokeTest::run(std::move(done)); }},
        {.flags = {QStringLiteral("--capture")},
         .help = QStringLiteral("start a capture in the running Quilvant (starting it when none runs); bind this "
                                "command to a key where the desktop offers no global shortcut"),
         .failurePrefix = instancePrefix,
         .runtime = Runtime::Widgets,
         .start = startDesktopFor(InstanceRequest::Capture)},
        {.flags = {QStringLiteral("--translate-selection")},
         .help = QStringLiteral("translate the selected text in the running Quilvant (starting it when none runs); "
                                "bind this command to a key where the desktop offers no global shortcut"),
         .failurePrefix = instancePrefix,
         .runtime = Runtime::Widgets,
         .start = startDesktopFor(InstanceRequest::TranslateSelection)},
        {.flags = {QStringLiteral("--history")},
         .help = QStringLiteral("open the translation history of the running Quilvant (starting it when none runs)"),
         .failurePrefix = instancePrefix,
         .runtime = Runtime::Widgets,
         .start = startDesktopFor(InstanceRequest::History)},
        {.flags = {QStringLiteral("--show-card")},
         .help = QStringLiteral("show the translation card of the running Quilvant (starting it when none runs)"),
         .failurePrefix = instancePrefix,
         .runtime = Runtime::Widgets,
         .start = startDesktopFor(InstanceRequest::ShowCard)},
        {.flags = {QStringLiteral("--settings")},
         .help = QStringLiteral("open the settings of the running Quilvant (starting it when none runs)"),
         .failurePrefix = instancePrefix,
         .runtime = Runtime::Widgets,
         .start = startDesktopFor(InstanceRequest::Settings)},
        {.flags = {QStringLiteral("--help"), QStringLiteral("-h")},
         .help = QStringLiteral("show this help"),
         .run = printHelp},
        {.flags = {QStringLiteral("--version")},
         .help = QStringLiteral("show the version"),
         .run = [](const ModeContext&) -> Outcome<void> {
             Console::printLine(QStringLiteral("quilvant " QUILVANT_VERSION));
             return {};
         }},
        {.flags = {QStringLiteral("--recognize")},
         .help =
             QStringLiteral("print the text recognised in each image FILE... that follows, a blank line between files"),
         .failurePrefix = QStringLiteral("Recognition failed: "),
         .runtime = Runtime::Gui,
         .run = recognizeFiles},
        {.flags = {QStringLiteral("--translate")},
         .help = QStringLiteral("translate the words that follow (or standard input) with the current settings and "
                                "print the translation; --engine NAME and --to CODE override the settings for this "
                                "run"),
         .failurePrefix = QStringLiteral("Translation failed: "),
         .start = [](const ModeContext& context,
                     Completion<void> done) { CommandLineTranslation::run(context.arguments, std::move(done)); }},
    };
}

namespace {

Outcome<void> printHelp(const ModeContext&)
{
    QString text = QStringLiteral(
        "Usage: quilvant [MODE] [ARGUMENTS]\n"
        "\n"
        "Quilvant translates text on the screen: press the shortcut (Alt+D unless changed), drag a rectangle,\n"
        "and the recognised text is translated into a small card. Without a mode it starts the desktop program.\n"
        "\n"
        "Modes (the first one present on the command line wins):\n");
    for (const Mode& mode : programModes()) {
        text += QStringLiteral("  %1\n      %2\n").arg(mode.flags.join(QStringLiteral(", ")), mode.help);
    }
    Console::print(text);
    return {};
}

} // namespace

int run(int& argc, char** argv)
{
    const int status = dispatch(argc, argv, programModes(), runDesktop);
    // Whatever ended the program, no agent child outlives it; a signal that ended it ends it by that signal.
    ChildGroups::finish();
    return status;
}

} // namespace quilvant::app
