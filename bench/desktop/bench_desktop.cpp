// The desktop program's speed and memory with its own controller, the display's real key grab and a loopback
// hosted service; the selection tool is a stand-in that takes no time and notes when it ran or ended:
// - the shortcut pressed (xdotool, already running) until the capture tool runs;
// - the end of the selection until the card is painted with the recognising status, and until it is painted
//   with the first translated text (one line of English, recognised for real);
// - the first capture after launch against a warm one;
// - the resident memory after launch once recognition is warm, and after the captures.
// Wall time and the process's CPU time. Usage (under scripts/headless): bench_desktop [ROUNDS] [en|zh]
#include "app/AppDelegate.h"
#include "core/Clock.h"
#include "foundation/Secrets.h"
#include "foundation/Settings.h"
#include "platform/ProgramCaptureTool.h"
#include "platform/X11GlobalShortcut.h"
#include "platform/X11OutsideClicks.h"
#include "platform/X11Window.h"
#include "selftest/Fixture.h"
#include "session/Model.h"
#include "session/TranslationConsent.h"
#include "support/HttpsTestServer.h"
#include "support/Measure.h"
#include "ui/Card.h"
#include "ui/CardWindow.h"

#include <QApplication>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <unistd.h>
#include <vector>

using namespace quilvant;
using namespace quilvant::test;

using namespace quilvant::bench;

namespace {

// Serves the event loop until `done` holds or `seconds` have passed; whether it held. Each turn waits for events,
// as the real loop does; a slow ticker only bounds the wait.
template <typename Condition>
bool serveUntil(Condition done, double seconds = 60)
{
    const double until = Clock::uptime() + seconds;
    QTimer ticker;
    ticker.start(50);
    while (!done()) {
        if (Clock::uptime() > until) {
            return false;
        }
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// The moment the stand-in tool noted, in Clock::uptime() seconds; nullopt when it wrote none.
std::optional<double> readStamp(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    bool ok = false;
    const qlonglong nanoseconds = file.readAll().trimmed().toLongLong(&ok);
    return ok ? std::optional<double>(static_cast<double>(nanoseconds) / 1e9) : std::nullopt;
}

// Notes when the card is first painted showing the recognising status, and then showing translated text.
class PaintWatch final : public QObject
{
public:
    PaintWatch(AppDelegate& delegate, QString recognising)
        : m_delegate(delegate)
        , m_recognising(std::move(recognising))
    {}
    double recognisingAt = 0;
    double translatedAt = 0;
    void reset() { recognisingAt = translatedAt = 0; }

    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint && watched == m_delegate.card().card()) {
            const Model& model = m_delegate.model();
            if (recognisingAt == 0 && model.status() == m_recognising) {
                recognisingAt = Clock::uptime();
            }
            if (translatedAt == 0 && !model.translated().isEmpty()) {
                translatedAt = Clock::uptime();
            }
        }
        return false;
    }

private:
    AppDelegate& m_delegate;
    QString m_recognising;
};

// Waits until the process has been nearly idle for half a second: the launch's background work is done.
double settle()
{
    const double start = Clock::uptime();
    for (;;) {
        const double cpu = cpuSeconds();
        bool done = false;
        QTimer::singleShot(500, [&done] { done = true; });
        serveUntil([&done] { return done; });
        if (cpuSeconds() - cpu < 0.01 || Clock::uptime() - start > 60) {
            return Clock::uptime() - start;
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QTemporaryDir home;
    const QString runtime = home.filePath(QStringLiteral("runtime"));
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", runtime.toLocal8Bit());
    QApplication application(argc, argv);
    const int rounds = argc > 1 ? std::max(3, QString::fromLocal8Bit(argv[1]).toInt()) : 30;
    const QString language = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QStringLiteral("en");
    if (!X11Window::available()) {
        std::fprintf(stderr, "needs an X11 display\n");
        return 1;
    }

    HttpsTestServer server;
    if (!server.start()) {
        std::fprintf(stderr, "loopback server: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    // The first piece of the translation goes out at once, the rest right after.
    server.setHandler([](const RecordedRequest&) {
        return ServerResponse::eventStream({"event: delta\ndata: {\"text\":\"重新启动应用\"}\n\n",
                                            "event: done\ndata: {\"text\":\"重新启动应用以应用新设置。\","
                                            "\"remainingCharacters\":9}\n\n"});
    });
    qputenv("SSL_CERT_FILE", server.caFile().toLocal8Bit());
    Settings::setValue(Settings::Key::serviceURL, server.url().toString());
    Settings::setValue(Settings::Key::translationPrivacyConsent, TranslationConsent::marker);
    Settings::setValue(Settings::Key::onboarded, true);
    Settings::setValue(Settings::Key::uiLanguage, language);
    if (!Secrets::save(QStringLiteral("bench-token"), Secrets::serviceAccount)) {
        std::fprintf(stderr, "cannot store the service token in the keyring (run under scripts/headless)\n");
        return 1;
    }
    const QString fixture = home.filePath(QStringLiteral("line.png"));
    Fixture::draw(QStringLiteral("Restart the application to apply the new settings."), {1100, 160}, {30, 60}, 32)
        .save(fixture);
    const QString stamp = home.filePath(QStringLiteral("stamp"));

    bool selecting = false;
    CaptureFlow::Services services = CaptureFlow::Services::system();
    services.permitted = [](const CaptureTool&) { return true; };
    services.tool = [&selecting, &stamp, &fixture] {
        const bool select = selecting;
        return std::make_unique<ProgramCaptureTool>(
            QStringLiteral("stamp"), QStringList{QStringLiteral(BENCH_STAMP_TOOL)},
            [select, stamp, fixture](Runner& runner, const QString& path,
                                     std::chrono::milliseconds limit) -> Outcome<int> {
                const QStringList arguments = select ? QStringList{QStringLiteral("select"), stamp, fixture, path}
                                                     : QStringList{QStringLiteral("start"), stamp};
                const Outcome<Runner::Result> result = runner.run(QStringLiteral(BENCH_STAMP_TOOL), arguments, limit);
                if (!result) {
                    return result.error();
                }
                return result.value().status;
            });
    };

    const double memoryBefore = residentMegabytes();
    double wall = Clock::uptime();
    double cpu = cpuSeconds();
    std::unique_ptr<X11GlobalShortcut> shortcut = X11GlobalShortcut::create();
    double pressSeenAt = 0;
    if (shortcut) {
        QObject::connect(shortcut.get(), &GlobalShortcut::activated, [&pressSeenAt] { pressSeenAt = Clock::uptime(); });
    }
    AppDelegate delegate(
        AppDelegate::Backends{std::move(shortcut), X11OutsideClicks::create(), std::move(services), nullptr, {}});
    delegate.applicationDidFinishLaunching();
    std::printf("launch sequence: %.1f ms, CPU %.1f ms\n", (Clock::uptime() - wall) * 1000.0,
                (cpuSeconds() - cpu) * 1000.0);
    if (!delegate.shortcutRegistered()) {
        std::fprintf(stderr, "Alt+D could not be registered\n");
        return 1;
    }
    cpu = cpuSeconds();
    const double settled = settle();
    std::printf("background work after launch (recognition warm-up, interface %s): %.1f s, CPU %.1f ms\n",
                qPrintable(language), settled, (cpuSeconds() - cpu) * 1000.0);
    std::printf("idle memory after launch, recognition warm: %.1f MB resident (%.1f MB before the program)\n",
                residentMegabytes(), memoryBefore);

    Model& model = delegate.model();
    const bool chinese = language == QStringLiteral("zh");
    PaintWatch watch(delegate, chinese ? QStringLiteral("正在识别…") : QStringLiteral("Recognizing text…"));
    application.installEventFilter(&watch);
    const QString complete = chinese ? QStringLiteral("翻译完成") : QStringLiteral("Translation complete");

    // When recognition handed its text over (the model starts translating).
    double recognisedAt = 0;
    QObject::connect(&model, &Model::sourceChanged, [&] {
        if (!model.source().isEmpty() && recognisedAt == 0) {
            recognisedAt = Clock::uptime();
        }
    });
    struct Capture
    {
        double recognising = 0; // end of the selection -> card painted with the recognising status
        double recognised = 0;  // end of the selection -> recognised text in the model
        double translated = 0;  // end of the selection -> card painted with the first translated text
        double cpu = 0;         // the whole capture and translation
    };
    const auto captureOnce = [&]() -> std::optional<Capture> {
        QFile::remove(stamp);
        watch.reset();
        recognisedAt = 0;
        selecting = true;
        const double cpuStart = cpuSeconds();
        delegate.capture();
        if (!serveUntil([&] { return model.status() == complete || model.error().has_value(); }) ||
            model.error().has_value()) {
            std::fprintf(stderr, "capture failed: %s\n", qPrintable(model.errorText()));
            return std::nullopt;
        }
        serveUntil([&] { return watch.translatedAt != 0; }, 5);
        const std::optional<double> ended = readStamp(stamp);
        if (!ended || watch.recognisingAt == 0 || watch.translatedAt == 0) {
            std::fprintf(stderr, "a moment was not seen\n");
            return std::nullopt;
        }
        return Capture{(watch.recognisingAt - *ended) * 1000.0, (recognisedAt - *ended) * 1000.0,
                       (watch.translatedAt - *ended) * 1000.0, (cpuSeconds() - cpuStart) * 1000.0};
    };

    const std::optional<Capture> first = captureOnce();
    if (!first) {
        return 1;
    }
    std::printf("first capture after launch: selection end -> recognising shown %.1f ms, -> text recognised %.1f ms, "
                "-> first translated text shown %.1f ms; CPU %.1f ms\n",
                first->recognising, first->recognised, first->translated, first->cpu);

    std::vector<double> recognisingWall;
    std::vector<double> recognisedWall;
    std::vector<double> translatedWall;
    std::vector<double> captureCpu;
    for (int i = 0; i < rounds; ++i) {
        const std::optional<Capture> warm = captureOnce();
        if (!warm) {
            return 1;
        }
        recognisingWall.push_back(warm->recognising);
        recognisedWall.push_back(warm->recognised);
        translatedWall.push_back(warm->translated);
        captureCpu.push_back(warm->cpu);
    }
    report("selection end -> card shows the recognising status", recognisingWall, captureCpu);
    report("selection end -> text recognised", recognisedWall, captureCpu);
    report("selection end -> card shows the first translated text (CPU: whole capture)", translatedWall, captureCpu);
    std::printf("first capture / warm p50 (to the first translated text): %.2f\n",
                first->translated / percentile(translatedWall, 0.5));

    // The shortcut, pressed by an xdotool that already runs and reads its commands from standard input.
    QProcess keys;
    keys.start(QStringLiteral("xdotool"), {QStringLiteral("-")});
    if (!keys.waitForStarted()) {
        std::fprintf(stderr, "xdotool did not start\n");
        return 1;
    }
    selecting = false;
    std::vector<double> shortcutWall;
    std::vector<double> seenWall;
    std::vector<double> shortcutCpu;
    for (int i = 0; i < rounds; ++i) {
        QFile::remove(stamp);
        bool ended = false;
        const QMetaObject::Connection connection =
            QObject::connect(&delegate.flow(), &CaptureFlow::finished, [&ended] { ended = true; });
        wall = Clock::uptime();
        cpu = cpuSeconds();
        keys.write("key --delay 0 alt+d\n");
        const bool done = serveUntil([&ended] { return ended; }, 10);
        const double cpuUsed = (cpuSeconds() - cpu) * 1000.0;
        QObject::disconnect(connection);
        const std::optional<double> started = readStamp(stamp);
        if (!done || !started) {
            std::fprintf(stderr, "the shortcut did not start the tool\n");
            return 1;
        }
        shortcutWall.push_back((*started - wall) * 1000.0);
        seenWall.push_back((*started - pressSeenAt) * 1000.0);
        shortcutCpu.push_back(cpuUsed);
    }
    keys.closeWriteChannel();
    keys.waitForFinished();
    report("shortcut pressed -> capture tool running (CPU: until the capture ended)", shortcutWall, shortcutCpu);
    report("shortcut's key event read -> capture tool running", seenWall, shortcutCpu);

    settle();
    std::printf("idle memory after %d captures: %.1f MB resident\n", 2 * rounds + 1, residentMegabytes());
    return 0;
}
