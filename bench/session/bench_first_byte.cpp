// Time from the first streamed byte of a hosted translation to the session model's `translated` change.
// The clock starts when the loopback service begins its answer (the first event follows at once) and stops
// in the model's change signal, so it covers TLS, the transfer thread, the event-stream reader, both hops to
// the GUI thread and the model's checks. Usage: bench_first_byte [ROUNDS]
#include "core/Clock.h"
#include "engines/hosted/HostedClient.h"
#include "foundation/EngineKind.h"
#include "foundation/Settings.h"
#include "session/ClientEngines.h"
#include "session/Model.h"
#include "support/HttpsTestServer.h"
#include "support/Measure.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <vector>

using namespace quilvant;
using namespace quilvant::test;

using namespace quilvant::bench;

namespace {

// The real clients, without the keyring: the token is not part of what is measured.
class NoKeyringEngines final : public TranslationEngines
{
public:
    explicit NoKeyringEngines(HostedClient* hosted)
        : m_real(hosted)
    {}
    void readSecret(const QString&, QObject* context, std::function<void(Outcome<QString>)> done) override
    {
        QTimer::singleShot(0, context, [done = std::move(done)] { done(QString()); });
    }
    Cancellation moderate(const QString& text, const QString& stage, const QString& requestID, const QString& token,
                          Completion<void> done) override
    {
        return m_real.moderate(text, stage, requestID, token, std::move(done));
    }
    std::unique_ptr<TranslationEngine> engine(EngineKind kind) override { return m_real.engine(kind); }
    void whenSettled(std::function<void()> done) override { m_real.whenSettled(std::move(done)); }

private:
    ClientEngines m_real;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const int rounds = argc > 1 ? std::max(1, QString::fromLocal8Bit(argv[1]).toInt()) : 200;

    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
    Settings::setOverride(Settings::Key::translationPrivacyConsent, QStringLiteral("norvel-sift-1"));
    Settings::setOverride(Settings::Key::engine, Engines::storedName(EngineKind::Hosted));

    HttpsTestServer server;
    if (!server.start()) {
        std::fprintf(stderr, "server: %s\n", qPrintable(server.errorString()));
        return 1;
    }
    std::atomic<double> answerStarted{0};
    server.setHandler([&answerStarted](const RecordedRequest&) {
        answerStarted = Clock::uptime();
        ServerResponse response = ServerResponse::eventStream({});
        response.chunks = {ServerChunk{"event: delta\ndata: {\"text\":\"你好\"}\n\n", 0},
                           ServerChunk{"event: done\ndata: {\"text\":\"你好。\",\"remainingCharacters\":1}\n\n", 30}};
        return response;
    });

    HostedClient hosted(server.url(), http::HttpTransportOptions{server.caFile()});
    Model model(std::make_shared<NoKeyringEngines>(&hosted));
    std::vector<double> samples;
    samples.reserve(static_cast<std::size_t>(rounds));
    int round = -1; // one warm-up round opens the connection

    const auto next = [&] {
        model.setSource(QStringLiteral("Hello %1").arg(round));
        model.translate();
    };
    QObject::connect(&model, &Model::translatedChanged, &model, [&] {
        if (model.translated() == QStringLiteral("你好") && model.busy()) {
            const double elapsed = Clock::uptime() - answerStarted;
            if (round >= 0) {
                samples.push_back(elapsed * 1000.0);
            }
        }
    });
    QObject::connect(&model, &Model::busyChanged, &model, [&] {
        if (model.busy()) {
            return;
        }
        if (++round >= rounds) {
            QCoreApplication::quit();
            return;
        }
        QTimer::singleShot(0, &model, next);
    });
    QTimer::singleShot(0, &model, next);
    const double cpuStarted = cpuSeconds();
    QCoreApplication::exec();
    const double cpuPerRound = (cpuSeconds() - cpuStarted) * 1000.0 / (rounds + 1);

    if (samples.empty()) {
        std::fprintf(stderr, "no samples\n");
        return 1;
    }
    std::printf("first streamed byte -> translated change, %zu rounds: median %.3f ms, p90 %.3f ms, min %.3f ms, "
                "max %.3f ms\n",
                samples.size(), percentile(samples, 0.5), percentile(samples, 0.9), percentile(samples, 0.0),
                percentile(samples, 1.0));
    std::printf("CPU per whole translation, the in-process server's share included: %.3f ms\n", cpuPerRound);
    return 0;
}
