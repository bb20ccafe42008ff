// Measures what the agent engine costs the person waiting: starting the app-server child (up to the answered
// handshake) and answering a repeated request from memory.
//
//   bench_codex [CLI]    CLI defaults to the test stand-in; pass the real CLI's path to time it instead.
#include "engines/codex/CodexClient.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTextStream>
#include <algorithm>
#include <cstdio>
#include <vector>

using namespace quilvant;

namespace {

// Waits on a local event loop for one asynchronous result (fine in a benchmark; never in the program).
template <typename T, typename Start>
Outcome<T> await(Start start)
{
    QEventLoop loop;
    std::optional<Outcome<T>> result;
    start([&](Outcome<T> outcome) {
        result = std::move(outcome);
        loop.quit();
    });
    if (!result) {
        loop.exec();
    }
    return std::move(*result);
}

void report(const char* what, std::vector<double> samples)
{
    std::sort(samples.begin(), samples.end());
    double sum = 0;
    for (double sample : samples) {
        sum += sample;
    }
    std::printf("%-14s n=%-5zu median=%.3f ms  mean=%.3f ms  p95=%.3f ms  max=%.3f ms\n", what, samples.size(),
                samples[samples.size() / 2] * 1e3, sum / samples.size() * 1e3, samples[samples.size() * 95 / 100] * 1e3,
                samples.back() * 1e3);
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString cli = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(QUILVANT_BENCH_STANDIN);
    const bool standin = argc <= 1;
    std::printf("CLI: %s\n", qPrintable(cli));

    CodexClient client(cli);
    std::vector<double> starts;
    const int startRuns = standin ? 50 : 5;
    for (int i = 0; i < startRuns; ++i) {
        QElapsedTimer timer;
        timer.start();
        const Outcome<void> started = await<void>([&](Completion<void> done) { client.ensureStarted(done); });
        if (!started) {
            std::printf("start failed: %s\n", qPrintable(started.error().description()));
            return 1;
        }
        starts.push_back(timer.nsecsElapsed() / 1e9);
        client.reset(Error::cancelled());
    }
    report("child start", starts);

    if (!standin) {
        return 0; // a real turn needs the network and a signed-in account
    }
    const QString text =
        QStringLiteral("Your changes have been saved. Restart the application to apply the new settings.");
    auto translate = [&] {
        return await<QString>([&](Completion<QString> done) {
            client.translate(text, QStringLiteral("Simplified Chinese"), QStringLiteral("gpt-6-luna"), nullptr, done);
        });
    };
    QElapsedTimer first;
    first.start();
    if (!translate()) {
        std::printf("first translation failed\n");
        return 1;
    }
    std::printf("first turn     %.3f ms (stand-in pauses between split writes)\n", first.nsecsElapsed() / 1e6);
    std::vector<double> repeats;
    for (int i = 0; i < 2000; ++i) {
        QElapsedTimer timer;
        timer.start();
        const Outcome<QString> result = translate();
        repeats.push_back(timer.nsecsElapsed() / 1e9);
        if (!result) {
            return 1;
        }
    }
    report("cached repeat", repeats);
    client.reset(Error::cancelled());
    return 0;
}
