// Measures text recognition on the five self-check lines: the first call in a fresh process (cold), repeated
// calls in one process (warm p50/p95), resident memory added by all engines, and the tesseract command-line
// program on the same images for comparison.
//
//   bench_recognition [--rounds N]       the whole report
//   bench_recognition --cold ROW         (internal) one cold recognition, prints its milliseconds

#include "capture/Translation.h"
#include "selftest/Fixture.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <algorithm>
#include <cstdio>
#include <vector>

using namespace quilvant;

namespace {

struct Row
{
    const char* name;
    const char* text;
    const char* model; // what the command-line program is told
};

const Row kRows[] = {
    {"English", "Keep reading and stay curious.", "eng"}, {"French", "La curiosité ouvre de nouvelles portes.", "fra"},
    {"Chinese", "保持好奇，发现新的世界。", "chi_sim"},   {"Japanese", "新しい世界を見つけましょう。", "jpn"},
    {"Korean", "새로운 세상을 발견하세요.", "kor"},
};
constexpr int kRowCount = 5;

QString fixture(int row)
{
    const QImage image = Fixture::draw(QString::fromUtf8(kRows[row].text), QSize(1500, 180), QPointF(35, 65), 44);
    const Outcome<QString> path = Fixture::write(image, QStringLiteral("bench-ocr-"));
    if (!path) {
        std::fprintf(stderr, "%s\n", qPrintable(path.error().description()));
        std::exit(2);
    }
    return path.value();
}

double residentMegabytes()
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly)) {
        return -1;
    }
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:")) {
            return line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
        }
    }
    return -1;
}

double percentile(std::vector<double> values, double share)
{
    std::sort(values.begin(), values.end());
    const auto index = static_cast<size_t>(share * double(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

double timedRecognition(const QString& path, bool* matched, const Row& row)
{
    QElapsedTimer timer;
    timer.start();
    const Outcome<QString> text = Translation::recognizeFile(path);
    const double ms = double(timer.nsecsElapsed()) / 1e6;
    if (matched != nullptr) {
        *matched = text.ok() && text.value() == QString::fromUtf8(row.text);
    }
    return ms;
}

int cold(int row)
{
    const QString path = fixture(row);
    const double ms = timedRecognition(path, nullptr, kRows[row]);
    QFile::remove(path);
    std::printf("%.1f\n", ms);
    return 0;
}

double coldInFreshProcess(int row)
{
    QProcess child;
    child.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--cold"), QString::number(row)});
    child.waitForFinished(120'000);
    return child.readAllStandardOutput().trimmed().toDouble();
}

double commandLine(const QString& path, const char* model, int rounds)
{
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        QProcess tesseract;
        QElapsedTimer timer;
        timer.start();
        tesseract.start(QStringLiteral("tesseract"),
                        {path, QStringLiteral("-"), QStringLiteral("-l"), QString::fromLatin1(model),
                         QStringLiteral("--psm"), QStringLiteral("7")});
        if (!tesseract.waitForFinished(120'000) || tesseract.exitCode() != 0) {
            return -1;
        }
        times.push_back(double(timer.nsecsElapsed()) / 1e6);
    }
    return percentile(times, 0.5);
}

} // namespace

int main(int argc, char** argv)
{
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QGuiApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() == 3 && arguments[1] == QLatin1String("--cold")) {
        return cold(arguments[2].toInt());
    }
    int rounds = 40;
    if (const qsizetype at = arguments.indexOf(QStringLiteral("--rounds")); at > 0 && at + 1 < arguments.size()) {
        rounds = std::max(3, arguments[at + 1].toInt());
    }

    QStringList paths;
    for (int row = 0; row < kRowCount; ++row) {
        paths.append(fixture(row));
    }
    const double before = residentMegabytes();

    std::printf("%-9s %9s %9s %9s %7s %11s %7s\n", "row", "cold ms", "warm p50", "warm p95", "right", "cli p50 ms",
                "cli/p50");
    for (int row = 0; row < kRowCount; ++row) {
        std::vector<double> coldRuns;
        for (int i = 0; i < 3; ++i) {
            coldRuns.push_back(coldInFreshProcess(row));
        }
        bool right = false;
        timedRecognition(paths[row], &right, kRows[row]); // loads this row's engines
        std::vector<double> warm;
        int correct = 0;
        for (int i = 0; i < rounds; ++i) {
            bool matched = false;
            warm.push_back(timedRecognition(paths[row], &matched, kRows[row]));
            correct += matched ? 1 : 0;
        }
        const double p50 = percentile(warm, 0.5);
        const double cli = commandLine(paths[row], kRows[row].model, 5);
        std::printf("%-9s %9.1f %9.1f %9.1f %4d/%-2d %11.1f %7.1f\n", kRows[row].name, percentile(coldRuns, 0.5), p50,
                    percentile(warm, 0.95), correct, rounds, cli, cli / p50);
        std::fflush(stdout);
    }
    const double after = residentMegabytes();

    std::printf("RSS before recognition %.1f MB, after all five %.1f MB, added %.1f MB\n", before, after,
                after - before);
    for (const QString& path : paths) {
        QFile::remove(path);
    }
    return 0;
}
