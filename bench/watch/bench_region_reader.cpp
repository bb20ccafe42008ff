// Looking at an unchanged 800 × 200 region of a headless wlroots compositor (sway) 4 times a second, as a watch
// does while the text stands still, with each reader the platform has there: the compositor's screen copy and
// grim. For each: the CPU time of this process and of the children it waited for (grim's runs), as a share of
// one core over the wall time, the compositor's own CPU beside it, and the wall time of a look. Usage:
// bench_region_reader [SECONDS]
#include "core/Clock.h"
#include "platform/GrimRegionReader.h"
#include "platform/Platform.h"
#include "selftest/Fixture.h"
#include "support/HeadlessCompositor.h"
#include "support/Measure.h"

#include <QCoreApplication>
#include <QFile>
#include <QGuiApplication>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <optional>
#include <sys/resource.h>

using namespace quilvant;
using namespace quilvant::bench;
using namespace quilvant::test;

namespace {

const QRect area(100, 200, 800, 200);

double childrenCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The CPU time of process `pid` from /proc (user and system), or -1.
double processCpuSeconds(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (pid <= 0 || !stat.open(QIODevice::ReadOnly)) {
        return -1;
    }
    const QByteArray line = stat.readAll();
    // The fields after the command's name, which is in parentheses and may hold spaces.
    const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13) {
        return -1;
    }
    return (fields.at(11).toDouble() + fields.at(12).toDouble()) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

void serveFor(double seconds)
{
    const double until = Clock::uptime() + seconds;
    QTimer ticker;
    ticker.start(50);
    while (Clock::uptime() < until) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

// Looks every 250 ms for `seconds`, each look started when the last has ended (as the watch does), and reports.
bool measure(RegionReader& reader, double seconds, qint64 compositor)
{
    reader.setRegion(area);
    std::vector<double> wall;
    std::vector<double> cpu;
    std::optional<std::uint64_t> first;
    QString failure;
    int changed = 0;
    double startedAt = 0;
    double cpuAt = 0;
    Cancellation running;
    QTimer ticker;
    ticker.setInterval(250);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        if (running.isValid() || !failure.isEmpty()) {
            return;
        }
        startedAt = Clock::uptime();
        cpuAt = cpuSeconds() + childrenCpuSeconds();
        running = reader.look([&](Outcome<std::uint64_t> outcome) {
            running = Cancellation();
            if (!outcome) {
                failure = outcome.error().description();
                return;
            }
            wall.push_back((Clock::uptime() - startedAt) * 1000);
            cpu.push_back((cpuSeconds() + childrenCpuSeconds() - cpuAt) * 1000);
            changed += first && *first != outcome.value() ? 1 : 0;
            first = first.value_or(outcome.value());
        });
    });
    // A first look outside the measure (a reader's set-up is not what a watch pays every second).
    ticker.start();
    serveFor(1);
    wall.clear();
    cpu.clear();
    const double ownBefore = cpuSeconds();
    const double childrenBefore = childrenCpuSeconds();
    const double compositorBefore = processCpuSeconds(compositor);
    const double wallBefore = Clock::uptime();
    serveFor(seconds);
    ticker.stop();
    const double elapsed = Clock::uptime() - wallBefore;
    const double own = cpuSeconds() - ownBefore;
    const double children = childrenCpuSeconds() - childrenBefore;
    const double compositorCpu = processCpuSeconds(compositor) - compositorBefore;
    running.cancel();
    if (!failure.isEmpty() || wall.empty()) {
        std::fprintf(stderr, "%s: the looks failed: %s\n", qPrintable(reader.name()), qPrintable(failure));
        return false;
    }
    std::printf("%s: unchanged 800x200 region, %.0f s, %zu looks (%.1f/s), %d different signatures: CPU %.3f s = "
                "%.2f%% of one core (this process %.2f%%, its children %.2f%%); compositor %.2f%%\n",
                qPrintable(reader.name()), elapsed, wall.size(), static_cast<double>(wall.size()) / elapsed, changed,
                own + children, 100.0 * (own + children) / elapsed, 100.0 * own / elapsed, 100.0 * children / elapsed,
                100.0 * compositorCpu / elapsed);
    report(qPrintable(QStringLiteral("  %1 look").arg(reader.name())), wall, cpu, 2);
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("XDG_RUNTIME_DIR", home.path().toLocal8Bit());
    qputenv("XDG_CURRENT_DESKTOP", "sway");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    const double seconds = argc > 1 ? QByteArray(argv[1]).toDouble() : 30;

    HeadlessCompositor compositor;
    const Outcome<QString> socket = compositor.start();
    if (!socket) {
        std::fprintf(stderr, "no compositor: %s\n", qPrintable(socket.error().description()));
        return 1;
    }
    qputenv("WAYLAND_DISPLAY", socket.value().toLocal8Bit());
    const QString background = home.filePath(QStringLiteral("background.png"));
    if (!Fixture::draw(QStringLiteral("The north gate opens at dawn."), HeadlessCompositor::size, {140, 310}, 30)
             .save(background) ||
        !compositor.showBackground(background)) {
        std::fprintf(stderr, "no background\n");
        return 1;
    }
    serveFor(1);

    std::unique_ptr<RegionReader> platform = Platform::regionReader();
    if (!measure(*platform, seconds, compositor.processId())) {
        return 1;
    }
    GrimRegionReader grim;
    return measure(grim, seconds, compositor.processId()) ? 0 : 1;
}
