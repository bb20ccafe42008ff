#include "selftest/SmokeTest.h"

#include "core/Clock.h"
#include "core/Console.h"
#include "engines/codex/CodexClient.h"
#include "foundation/L.h"
#include "selftest/Fixture.h"

#include <QCoreApplication>
#include <QTimer>

namespace quilvant::SmokeTest {

namespace {

// The first half: the recognised text, with the fixture removed on every path.
Outcome<QString> recognizeFixture()
{
    const QImage image = Fixture::draw(QStringLiteral("Restart the application to apply the new settings."),
                                       QSize(1100, 160), QPointF(30, 60), 32);
    const Outcome<QString> text = Fixture::recognize(image, QStringLiteral("kestu-ocr-test-"));
    if (!text) {
        return text.error();
    }
    if (!text.value().contains(QStringLiteral("Restart"))) {
        return AppFailure{QStringLiteral("OCR fixture mismatch")};
    }
    return text;
}

void closeConnection()
{
    CodexClient::shared().reset(AppFailure{L::t(QStringLiteral("翻译连接已关闭。"))});
}

} // namespace

void run(Completion<void> done)
{
    const Outcome<QString> text = recognizeFixture();
    if (!text) {
        QTimer::singleShot(0, QCoreApplication::instance(), [done, error = text.error()] { done(error); });
        return;
    }
    Console::printLine(QStringLiteral("OCR: ") + text.value());
    const double start = Clock::uptime();

    CodexClient::shared().translate(
        text.value(), QStringLiteral("Simplified Chinese"), QStringLiteral("gpt-6-luna"), [](const QString&) {},
        [done, start](Outcome<QString> translation) {
            if (!translation) {
                // The child is not left behind when the check fails either.
                closeConnection();
                done(translation.error());
                return;
            }
            Console::printLine(QStringLiteral("Translation: ") + translation.value());
            Console::printLine(QString::asprintf("Elapsed: %.2fs", Clock::uptime() - start));
            closeConnection();
            done({});
        });
}

} // namespace quilvant::SmokeTest
