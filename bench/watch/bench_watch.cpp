// Watching an 800 × 200 region of a real X server with the real reader, recogniser and card:
// - the process's CPU time while the region does not change, looking 4 times a second (the watch's own cost:
//   the card and the window stand still);
// - from the last pixel change (the window repainted with a new line) to the new source text in the model the
//   card shows, beside the stillness wait that is part of it by design;
// - the resident memory at the start and the end of a watch whose text changes every 2 seconds.
// Translations go to no service and fail at once, so that the figures are the watch's and the recogniser's,
// not an engine's (its first byte is measured by bench_first_byte). Usage (under scripts/headless):
// bench_watch [IDLE_SECONDS] [CHANGES] [LONG_MINUTES]
#include "capture/WatchFlow.h"
#include "core/Clock.h"
#include "core/PrivateTempDir.h"
#include "foundation/Settings.h"
#include "selftest/Fixture.h"
#include "session/Model.h"
#include "session/TranslationConsent.h"
#include "support/Measure.h"
#include "ui/CardWindow.h"

#include <QApplication>
#include <QPainter>
#include <QTemporaryDir>
#include <QTimer>
#include <QWidget>
#include <cstdio>

using namespace quilvant;
using namespace quilvant::bench;
using namespace std::chrono_literals;

namespace {

const QRect area(100, 200, 800, 200);

class TextWindow final : public QWidget
{
public:
    explicit TextWindow(const QRect& geometry)
        : QWidget(nullptr, Qt::X11BypassWindowManagerHint | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
    {
        setGeometry(geometry);
        show();
    }
    void showText(const QString& text)
    {
        m_image = Fixture::draw(text, size(), {24, 110}, 30);
        repaint();
    }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).drawImage(0, 0, m_image); }

private:
    QImage m_image;
};

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

void serveFor(double seconds)
{
    const double until = Clock::uptime() + seconds;
    serveUntil([until] { return Clock::uptime() >= until; }, seconds + 1);
}

const QStringList lines = {
    QStringLiteral("The north gate opens at dawn."),       QStringLiteral("Bring the lantern and the map."),
    QStringLiteral("We leave before the rain starts."),    QStringLiteral("Hold the line until noon."),
    QStringLiteral("Keep the fire burning tonight."),      QStringLiteral("Open the window before noon."),
    QStringLiteral("The river is higher than last year."), QStringLiteral("Count the boxes twice."),
};

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("XDG_RUNTIME_DIR", home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    QApplication application(argc, argv);
    const double idleSeconds = argc > 1 ? QByteArray(argv[1]).toDouble() : 30;
    const int changes = argc > 2 ? QByteArray(argv[2]).toInt() : 20;
    const double longMinutes = argc > 3 ? QByteArray(argv[3]).toDouble() : 30;
    if (!PrivateTempDir::path()) {
        std::fprintf(stderr, "no private temporary directory\n");
        return 1;
    }
    Settings::setOverride(Settings::Key::translationPrivacyConsent, TranslationConsent::marker);

    TextWindow window(area);
    window.showText(lines.first());
    Model model;
    CardWindow card(&model);
    WatchFlow flow(model, card, WatchFlow::Services::system());
    WatchFlow::Timing timing;
    timing.failuresBeforePause = 1 << 30; // every translation fails here; the watch must go on looking
    flow.setTiming(timing);
    if (!flow.watch(area)) {
        std::fprintf(stderr, "the region cannot be watched: %s\n", qPrintable(model.errorText()));
        return 1;
    }
    if (!serveUntil([&] { return model.source() == lines.first(); })) {
        std::fprintf(stderr, "the first text was not read: %s\n", qPrintable(model.source()));
        return 1;
    }
    serveFor(2);

    // Standing still.
    const double cpuBefore = cpuSeconds();
    const double wallBefore = Clock::uptime();
    serveFor(idleSeconds);
    const double idleCpu = cpuSeconds() - cpuBefore;
    const double idleWall = Clock::uptime() - wallBefore;
    std::printf("unchanged 800x200 region, %.0f s at %d looks/s: CPU %.3f s = %.2f%% of one core\n", idleWall,
                static_cast<int>(1000 / timing.look.count()), idleCpu, 100.0 * idleCpu / idleWall);

    // Last pixel change to the new source text.
    std::vector<double> wall;
    std::vector<double> cpu;
    for (int i = 0; i < changes; ++i) {
        const QString text = lines.at((i + 1) % lines.size()) + QStringLiteral(" %1").arg(i);
        const double cpuStart = cpuSeconds();
        window.showText(text);
        QCoreApplication::processEvents();
        const double changed = Clock::uptime();
        if (!serveUntil([&] { return model.source() == text; }, 20)) {
            std::fprintf(stderr, "text %d was not read: %s\n", i, qPrintable(model.source()));
            return 1;
        }
        wall.push_back((Clock::uptime() - changed) * 1000);
        cpu.push_back((cpuSeconds() - cpuStart) * 1000);
        serveFor(0.5);
    }
    const double still = static_cast<double>(timing.stillness.count());
    report("last pixel change to new source text (stillness wait included)", wall, cpu);
    for (double& value : wall) {
        value -= still;
    }
    std::printf("  the same less the %.0f ms stillness wait: p50 %.1f ms, p90 %.1f ms, max %.1f ms\n", still,
                percentile(wall, 0.5), percentile(wall, 0.9), percentile(wall, 1.0));

    // A long watch, a change every 2 s.
    const double rssStart = residentMegabytes();
    const double longUntil = Clock::uptime() + longMinutes * 60;
    int round = 0;
    double nextReport = Clock::uptime() + 60;
    while (Clock::uptime() < longUntil) {
        window.showText(lines.at(round % lines.size()) + QStringLiteral(" #%1").arg(round));
        ++round;
        serveFor(2);
        if (Clock::uptime() >= nextReport) {
            std::printf("  after %d changes: RSS %.1f MB\n", round, residentMegabytes());
            std::fflush(stdout);
            nextReport += 60;
        }
    }
    std::printf("watch of %.1f min, a change every 2 s (%d changes): RSS %.1f MB at start, %.1f MB at end\n",
                longMinutes, round, rssStart, residentMegabytes());
    flow.stop();
    return 0;
}
