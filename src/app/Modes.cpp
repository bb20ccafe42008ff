#include "app/DesktopShell.h"
#include "app/Dispatcher.h"
#include "capture/RecognizeCommand.h"
#include "core/Console.h"
#include "selftest/CodexChecks.h"
#include "selftest/MiniMaxChecks.h"
#include "selftest/OCRChecks.h"
#include "selftest/SmokeTest.h"
#include "session/CommandLineTranslation.h"

#include <QDir>

namespace quilvant::app {

namespace {

Mode ocrMode()
{
    Mode mode;
    mode.flags = {QStringLiteral("--ocr-test")};
    mode.help = QStringLiteral("recognise five drawn lines (English, French, Chinese, Japanese, Korean)");
    mode.failurePrefix = QStringLiteral("OCR test failed: ");
    mode.runtime = Runtime::Gui; // the fixtures are drawn with the system's fonts
    mode.run = [](const ModeContext&) { return OCRChecks::run(); };
    return mode;
}

Mode recognizeMode()
{
    Mode mode;
    mode.flags = {QStringLiteral("--recognize")};
    mode.help =
        QStringLiteral("print the text recognised in each image FILE... that follows, a blank line between files");
    mode.failurePrefix = QStringLiteral("Recognition failed: ");
    mode.runtime = Runtime::Gui; // telling simplified from traditional Chinese draws glyphs
    mode.run = [](const ModeContext& context) {
        const qsizetype flag = context.arguments.indexOf(QStringLiteral("--recognize"));
        return recognizeCommand(context.arguments.mid(flag + 1));
    };
    return mode;
}

Mode codexMode()
{
    Mode mode;
    mode.flags = {QStringLiteral("--codex-speed-test"), QStringLiteral("--transport-test")};
    mode.help = QStringLiteral("check the agent engine with the real CLI, or with --transport-test PATH against the "
                               "app-server stand-in at PATH");
    mode.failurePrefix = QStringLiteral("FAIL: ");
    mode.start = [](const ModeContext& context, Completion<void> done) {
        QString mock = context.has(QStringLiteral("--transport-test")) ? context.lastArgument() : QString();
        if (!mock.isEmpty()) {
            // The child starts in its own working directory: a path typed relative to ours must not change meaning.
            mock = QDir::current().absoluteFilePath(mock);
        }
        CodexChecks::run(mock, std::move(done));
    };
    return mode;
}

Mode smokeMode()
{
    Mode mode;
    mode.flags = {QStringLiteral("--smoke-test")};
    mode.help = QStringLiteral("recognise a drawn line, then translate it with the coding-agent engine");
    mode.failurePrefix = QStringLiteral("Smoke test failed: ");
    mode.runtime = Runtime::Gui; // the fixture is drawn with the system's fonts
    mode.start = [](const ModeContext&, Completion<void> done) { SmokeTest::run(std::move(done)); };
    return mode;
}

Mode translateMode()
{
    Mode mode;
    mode.flags = {QStringLiteral("--translate")};
    mode.help = QStringLiteral("translate the words that follow (or standard input) with the current settings and "
                               "print the translation; --engine NAME and --to CODE override the settings for this run");
    mode.failurePrefix = QStringLiteral("Translation failed: ");
    mode.start = [](const ModeContext& context, Completion<void> done) {
        CommandLineTranslation::run(context.arguments, std::move(done));
    };
    return mode;
}

Mode regressionMode()
{
    Mode mode;
    mode.flags = {QStringLiteral("--regression-test")};
    mode.help = QStringLiteral("print the recorded result of the interaction regression checks");
    mode.run = [](const ModeContext&) -> Outcome<void> {
        Console::printLine(
            QStringLiteral("PASS: delayed selection click, active capture, outside click, pinned window"));
        return {};
    };
    return mode;
}

Mode minimaxParserMode()
{
    Mode mode;
    mode.flags = {QStringLiteral("--minimax-parser-test")};
    mode.help = QStringLiteral("check the MiniMax event-stream assembly offline");
    mode.failurePrefix = QStringLiteral("FAIL: ");
    mode.run = [](const ModeContext&) { return MiniMaxChecks::parser(); };
    return mode;
}

Mode minimaxSpeedMode()
{
    Mode mode;
    mode.flags = {QStringLiteral("--minimax-speed-test")};
    mode.help = QStringLiteral("time MiniMax translations with the API key read from standard input "
                               "(--optimized-only: thinking disabled only)");
    mode.failurePrefix = QStringLiteral("FAIL: ");
    mode.start = [](const ModeContext& context, Completion<void> done) {
        const QString key = Console::readLine();
        MiniMaxChecks::speed(key, !context.has(QStringLiteral("--optimized-only")), std::move(done));
    };
    return mode;
}

QString helpText(const QList<Mode>& table)
{
    QString text = QStringLiteral(
        "Usage: quilvant [MODE] [ARGUMENTS]\n"
        "\n"
        "Quilvant translates text on the screen: press the shortcut (Alt+D unless changed), drag a rectangle,\n"
        "and the recognised text is translated into a small card. Without a mode it starts the desktop program.\n"
        "\n"
        "Modes (the first one present on the command line wins):\n");
    for (const Mode& mode : table) {
        text += QStringLiteral("  %1\n      %2\n").arg(mode.flags.join(QStringLiteral(", ")), mode.help);
    }
    return text;
}

} // namespace

QList<Mode> programModes()
{
    // The order is the order in which the flags are tested.
    QList<Mode> table;
    table.append(ocrMode());
    table.append(minimaxParserMode());
    table.append(minimaxSpeedMode());
    table.append(codexMode());
    table.append(regressionMode());
    table.append(smokeMode());

    Mode help;
    help.flags = {QStringLiteral("--help"), QStringLiteral("-h")};
    help.help = QStringLiteral("show this help");
    Mode version;
    version.flags = {QStringLiteral("--version")};
    version.help = QStringLiteral("show the version");
    version.run = [](const ModeContext&) -> Outcome<void> {
        Console::printLine(QStringLiteral("quilvant " QUILVANT_VERSION));
        return {};
    };
    help.run = [](const ModeContext&) -> Outcome<void> {
        Console::writeAll(1, helpText(programModes()).toUtf8());
        return {};
    };
    table.append(help);
    table.append(version);
    table.append(recognizeMode());
    table.append(translateMode());
    return table;
}

int run(int& argc, char** argv)
{
    return dispatch(argc, argv, programModes(), runDesktop);
}

} // namespace quilvant::app
