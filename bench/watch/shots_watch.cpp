// Pictures of the card beside a watched region: a window of text, the real watch, recognition and card, a
// loopback hosted service that answers with a fixed translation of each line; one picture of the whole screen per
// look (light, dark) and interface language (en, zh). Usage (under scripts/headless): shots_watch DIR
#include "capture/WatchFlow.h"
#include "core/PrivateTempDir.h"
#include "foundation/Secrets.h"
#include "foundation/Settings.h"
#include "selftest/Fixture.h"
#include "session/Model.h"
#include "session/TranslationConsent.h"
#include "support/HttpsTestServer.h"
#include "support/TextWindow.h"
#include "ui/CardWindow.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPainter>
#include <QProcess>
#include <QTemporaryDir>
#include <QWidget>
#include <cstdio>

using namespace quilvant;
using namespace quilvant::test;

namespace {

bool serveUntil(const std::function<bool()>& done, int ms = 30000)
{
    QDeadlineTimer deadline(ms);
    while (!done() && !deadline.hasExpired()) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    }
    return done();
}

} // namespace

int main(int argc, char** argv)
{
    QTemporaryDir home;
    qputenv("XDG_RUNTIME_DIR", home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", home.path().toLocal8Bit());
    QApplication application(argc, argv);
    if (argc < 2 || !PrivateTempDir::path()) {
        std::fprintf(stderr, "usage: shots_watch DIR\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    HttpsTestServer server;
    if (!server.start()) {
        return 1;
    }
    server.setHandler([](const RecordedRequest&) {
        const QByteArray done =
            QJsonDocument(QJsonObject{{QStringLiteral("text"), QStringLiteral("北门在黎明时打开。")},
                                      {QStringLiteral("remainingCharacters"), 1000}})
                .toJson(QJsonDocument::Compact);
        return ServerResponse::eventStream({"event: done\ndata: " + done + "\n\n"});
    });
    qputenv("SSL_CERT_FILE", server.caFile().toLocal8Bit());
    Settings::setValue(Settings::Key::serviceURL, server.url().toString());
    Settings::setValue(Settings::Key::translationPrivacyConsent, TranslationConsent::marker);
    if (!Secrets::save(QStringLiteral("shots-token"), Secrets::serviceAccount)) {
        std::fprintf(stderr, "no keyring\n");
        return 1;
    }

    const QRect area(80, 240, 800, 200);
    TextWindow window(area);
    window.showText(QStringLiteral("The north gate opens at dawn."));
    for (const char* language : {"en", "zh"}) {
        Settings::setValue(Settings::Key::uiLanguage, QString::fromLatin1(language));
        for (const bool dark : {false, true}) {
            Model model;
            CardWindow card(&model);
            card.setForcedDark(dark);
            WatchFlow flow(model, card, WatchFlow::Services::system());
            if (!flow.watch(area) ||
                !serveUntil([&] { return model.translated() == QStringLiteral("北门在黎明时打开。"); })) {
                std::fprintf(stderr, "no translation: %s\n", qPrintable(model.errorText()));
                return 1;
            }
            serveUntil([] { return false; }, 800);
            const QString file =
                QStringLiteral("%1/watch-%2-%3.png")
                    .arg(dir, QString::fromLatin1(language), dark ? QStringLiteral("dark") : QStringLiteral("light"));
            if (QProcess::execute(QStringLiteral("import"),
                                  {QStringLiteral("-window"), QStringLiteral("root"), file}) != 0) {
                std::fprintf(stderr, "import failed\n");
                return 1;
            }
            flow.stop();
        }
    }
    return 0;
}
