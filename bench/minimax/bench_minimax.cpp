// Run on demand: build with -DQUILVANT_BENCH=ON and run bench/minimax/bench_minimax.
#include "chatstream/MiniMaxEventReader.h"
#include "engines/minimax/MiniMaxClient.h"
#include "foundation/Settings.h"

#ifdef QUILVANT_BENCH_WITH_SERVER
#include "support/HttpsTestServer.h"
#endif

#include <QCoreApplication>
#include <QElapsedTimer>
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <memory>

using namespace quilvant;

namespace {

QByteArray contentEvent(const QByteArray& content)
{
    return R"(data: {"choices":[{"delta":{"content":")" + content + R"("}}]})" + "\n\n";
}

// One small content event reaching the engine, with this much visible text already shown (a translation grows,
// and each update carries the whole text). Reported as CPU time per event; the reader is set up again, outside
// the measurement, after every 256 events so that the text stays near its nominal size.
void eventToUpdate(benchmark::State& state)
{
    const qsizetype shown = state.range(0);
    QByteArray content;
    while (content.size() < shown) {
        content += "\xE8\xAF\x91\xE6\x96\x87 word ";
    }
    const QByteArray prefix = contentEvent(content.left(shown));
    const QByteArray event = contentEvent("\xE6\xB5\x8B");
    const int batch = shown < 4096 ? 1 : 256;
    int updates = 0;
    std::unique_ptr<MiniMaxEventReader> reader;
    int fed = batch;
    for (auto _ : state) {
        if (fed == batch) {
            state.PauseTiming();
            reader = std::make_unique<MiniMaxEventReader>([&updates](const QString& text) {
                benchmark::DoNotOptimize(text.size());
                ++updates;
            });
            (void)reader->feed(prefix);
            fed = 0;
            state.ResumeTiming();
        }
        const int before = updates;
        (void)reader->feed(event);
        ++fed;
        if (updates != before + 1) {
            state.SkipWithError("no update");
            break;
        }
    }
    state.SetLabel("CPU column = CPU time per event");
}
BENCHMARK(eventToUpdate)->Arg(64)->Arg(16384)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);

// What a reader holds after a translation of 200 KB or 1 MB arrived in 20-byte deltas, against the visible text it
// publishes (UTF-16 bytes): counted by the allocator while the reader is alive.
void streamMemory(benchmark::State& state)
{
    const qsizetype total = state.range(0);
    QByteArray body;
    for (qsizetype sent = 0; sent < total; sent += 20) {
        // The letters in a literal of their own: after "\x87" they would read as more hex digits.
        body += contentEvent("\xE8\xAF\x91\xE6\x96\x87\xE8\xAF\x91\xE6\x96\x87"
                             "abcdefgh"); // 20 bytes of UTF-8
    }
    double ratio = 0;
    double held = 0;
    for (auto _ : state) {
        const size_t before = mallinfo2().uordblks;
        qsizetype shown = 0;
        {
            MiniMaxEventReader reader([&shown](const QString& text) { shown = text.size(); });
            for (qsizetype at = 0; at < body.size(); at += 1400) {
                (void)reader.feed(QByteArrayView(body).sliced(at, std::min<qsizetype>(1400, body.size() - at)));
            }
            held = static_cast<double>(mallinfo2().uordblks - before);
            ratio = held / static_cast<double>(shown * 2);
        }
    }
    state.counters["held_MB"] = held / 1e6;
    state.counters["held_per_text"] = ratio;
}
BENCHMARK(streamMemory)->Arg(200'000)->Arg(1'000'000)->Iterations(1)->Unit(benchmark::kMillisecond);

// A 1 MB body of small content deltas with reasoning deltas between them, through the whole reader.
void streamThroughput(benchmark::State& state)
{
    QByteArray body;
    int events = 0;
    while (body.size() < 1'000'000) {
        body += (events % 2 == 0) ? contentEvent("ab ")
                                  : QByteArray(R"(data: {"choices":[{"delta":{"reasoning_content":"think"}}]})"
                                               "\n\n");
        ++events;
    }
    body += "data: [DONE]\n\n";
    for (auto _ : state) {
        MiniMaxEventReader reader([](const QString& text) { benchmark::DoNotOptimize(text.size()); });
        for (qsizetype at = 0; at < body.size(); at += 1400) { // about one TLS record per read
            (void)reader.feed(QByteArrayView(body).sliced(at, std::min<qsizetype>(1400, body.size() - at)));
        }
        benchmark::DoNotOptimize(reader.finish());
    }
    state.SetBytesProcessed(state.iterations() * body.size());
    state.counters["events"] = events;
    // Seconds per event, shown with its SI prefix.
    state.counters["per_event"] =
        benchmark::Counter(events, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(streamThroughput)->Unit(benchmark::kMillisecond);

#ifdef QUILVANT_BENCH_WITH_SERVER
// translate() of a cached request until its completion, event loop hops included.
void cacheHit(benchmark::State& state)
{
    test::HttpsTestServer server;
    if (!server.start()) {
        state.SkipWithError("no server");
        return;
    }
    server.setHandler([](const test::RecordedRequest&) {
        return test::ServerResponse::eventStream({"data: {\"choices\":[{\"delta\":{\"content\":\"cached\"},"
                                                  "\"finish_reason\":\"stop\"}]}\n\n"});
    });
    MiniMaxClientOptions options;
    options.caFile = server.caFile();
    MiniMaxClient client(options);
    const MiniMaxRequest request{QStringLiteral("Hello"),
                                 QStringLiteral("Simplified Chinese"),
                                 server.url(QStringLiteral("/v1/chat/completions")).toString(),
                                 QStringLiteral("MiniMax-M3"),
                                 QStringLiteral("key"),
                                 QStringLiteral("disabled")};
    const auto translateOnce = [&] {
        bool done = false;
        client.translate(request, {}, [&done](Outcome<QString>) { done = true; });
        while (!done) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
    };
    translateOnce(); // fills the cache over the network
    for (auto _ : state) {
        translateOnce();
    }
    if (client.cacheHits() < static_cast<int>(state.iterations())) {
        state.SkipWithError("not answered from the cache");
    }
}
BENCHMARK(cacheHit)->Unit(benchmark::kMicrosecond);
#endif

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    Settings::setOverride(Settings::Key::uiLanguage, QStringLiteral("en"));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
