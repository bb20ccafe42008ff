#include "selftest/CodexChecks.h"

#include "core/Clock.h"
#include "core/Console.h"
#include "engines/codex/CodexClient.h"
#include "foundation/L.h"

#include <QMutex>
#include <QMutexLocker>
#include <QTimer>
#include <memory>
#include <optional>

namespace quilvant::CodexChecks {

namespace {

const QString language = QStringLiteral("Simplified Chinese");
const QString model = QStringLiteral("gpt-6-luna");
const QString sample =
    QStringLiteral("Your changes have been saved. Restart the application to apply the new settings.");
const QString paragraph = QStringLiteral(
    "Privacy settings help you control which applications can access your screen. When you capture a region, the "
    "image stays on this computer and only the recognised text is sent for translation. You can review the text "
    "before it is translated, edit it right in the source field, or paste other text instead. The translation "
    "appears in a small card that stays above other windows; pin the card to keep it in place while you go on "
    "working in other applications. Copy the translation with one click, collapse the card to show only the "
    "translation, or close it at any time with the Escape key. Closing the card cancels the current request.");

// Counts the engine's updates and the time to the first one.
class ProgressProbe
{
public:
    TextUpdate callback()
    {
        return [this](const QString&) {
            const QMutexLocker locker(&m_lock);
            if (!m_first) {
                m_first = Clock::uptime() - m_start;
            }
            ++m_count;
        };
    }
    double first() const
    {
        const QMutexLocker locker(&m_lock);
        return m_first.value_or(-1);
    }
    int count() const
    {
        const QMutexLocker locker(&m_lock);
        return m_count;
    }
    double elapsed() const { return Clock::uptime() - m_start; }

private:
    mutable QMutex m_lock;
    std::optional<double> m_first;
    int m_count = 0;
    double m_start = Clock::uptime();
};

QString seconds(double value)
{
    return QString::asprintf("%.3f", value);
}

// The check, step by step; each step starts the next from its completion.
class Check : public std::enable_shared_from_this<Check>
{
public:
    Check(const QString& mockPath, Completion<void> done)
        : m_mock(!mockPath.isEmpty())
        , m_client(std::make_unique<CodexClient>(m_mock ? std::optional<QString>(mockPath) : std::nullopt))
        , m_done(std::move(done))
    {}

    void start() { repeatRun(0); }

private:
    void repeatRun(int run)
    {
        auto probe = std::make_shared<ProgressProbe>();
        auto self = shared_from_this();
        m_client->translate(sample, language, model, probe->callback(), [self, probe, run](Outcome<QString> result) {
            if (!result) {
                self->fail(result.error());
                return;
            }
            const double total = probe->elapsed();
            if (result.value().isEmpty() || probe->count() < 1) {
                self->fail(AppFailure{QStringLiteral("Missing output or streaming callback")});
                return;
            }
            Console::printLine(QStringLiteral("run=%1 first=%2s total=%3s updates=%4 result=")
                                   .arg(run)
                                   .arg(seconds(probe->first()), seconds(total))
                                   .arg(probe->count()) +
                               result.value());
            if (run == 1 && total > 0.5) {
                self->fail(AppFailure{QStringLiteral("Memory cache did not avoid a repeated request")});
                return;
            }
            if (run == 0) {
                self->repeatRun(1);
            } else if (self->m_mock) {
                self->failedTurn();
            } else {
                self->realParagraph();
            }
        });
    }

    void failedTurn()
    {
        auto self = shared_from_this();
        m_client->translate(QStringLiteral("FAIL"), language, model, nullptr, [self](Outcome<QString> result) {
            if (result) {
                self->fail(AppFailure{QStringLiteral("A failed turn was reported as success")});
            } else if (result.error().description() != QStringLiteral("simulated model failure")) {
                self->fail(result.error());
            } else {
                self->cancelledTurn();
            }
        });
    }

    void cancelledTurn()
    {
        auto self = shared_from_this();
        Cancellation handle =
            m_client->translate(QStringLiteral("WAIT"), language, model, nullptr, [self](Outcome<QString> result) {
                if (result) {
                    self->fail(AppFailure{QStringLiteral("Canceled turn returned a result")});
                } else if (!result.error().isCancelled()) {
                    self->fail(result.error());
                } else {
                    self->reconnect();
                }
            });
        QTimer::singleShot(150, [handle]() mutable { handle.cancel(); });
    }

    void reconnect()
    {
        auto self = shared_from_this();
        m_client->translate(QStringLiteral("AFTER_CANCEL"), language, model, nullptr, [self](Outcome<QString> result) {
            if (!result) {
                self->fail(result.error());
            } else if (result.value() != QStringLiteral("译文：测试")) {
                self->fail(AppFailure{QStringLiteral("Reconnect or UTF-8 stream parsing failed")});
            } else {
                Console::printLine(QStringLiteral("PASS: split UTF-8 streaming, exact memory "
                                                  "cache, failed turn rejection, cancellation, "
                                                  "reconnect"));
                self->close();
            }
        });
    }

    void realParagraph()
    {
        auto probe = std::make_shared<ProgressProbe>();
        auto self = shared_from_this();
        m_client->translate(paragraph, language, model, probe->callback(), [self, probe](Outcome<QString> result) {
            if (!result) {
                self->fail(result.error());
                return;
            }
            const double total = probe->elapsed();
            if (result.value().isEmpty()) {
                self->fail(AppFailure{QStringLiteral("Empty paragraph translation")});
                return;
            }
            Console::printLine(QStringLiteral("paragraph first=%1s total=%2s updates=%3")
                                   .arg(seconds(probe->first()), seconds(total))
                                   .arg(probe->count()));
            self->close();
        });
    }

    void close()
    {
        m_client->reset(AppFailure{L::t(QStringLiteral("翻译连接已关闭。"))});
        finish({});
    }

    void fail(const Error& error) { finish(error); }

    void finish(Outcome<void> outcome)
    {
        // The client goes with the check; destroying it stops any child still running.
        auto done = std::move(m_done);
        m_done = nullptr;
        if (done) {
            done(std::move(outcome));
        }
    }

    bool m_mock;
    std::unique_ptr<CodexClient> m_client;
    Completion<void> m_done;
};

} // namespace

void run(const QString& mockPath, Completion<void> done)
{
    std::make_shared<Check>(mockPath, std::move(done))->start();
}

} // namespace quilvant::CodexChecks
