#include "engines/codex/CodexClient.h"
#include "engines/hosted/HostedClient.h"
#include "session/Secrets.h"
#include "session/TranslationEngines.h"

#include <QCoreApplication>
#include <QTimer>

namespace quilvant {

namespace {

template <typename T>
Cancellation failLater(Completion<T> done)
{
    auto state = std::make_shared<Completion<T>>(std::move(done));
    QTimer::singleShot(0, QCoreApplication::instance(), [state] {
        if (*state) {
            std::exchange(*state, nullptr)(Error::app(QStringLiteral("engine not connected yet")));
        }
    });
    return Cancellation([state] {
        if (*state) {
            std::exchange(*state, nullptr)(Error::cancelled());
        }
    });
}

class ClientEngines final : public TranslationEngines
{
public:
    void readSecret(const QString& account, QObject* context, std::function<void(const QString&)> done) override
    {
        Secrets::readLater(account, context, std::move(done));
    }
    Cancellation moderate(const QString& text, const QString& stage, const QString& requestID, const QString& token,
                          Completion<void> done) override
    {
        return HostedClient::shared().moderate(text, stage, requestID, token, std::move(done));
    }
    Cancellation hosted(const QString& text, const QString& target, const QString& token, TextUpdate update,
                        Completion<HostedResult> done) override
    {
        return HostedClient::shared().translate(text, target, token, std::move(update), std::move(done));
    }
    Cancellation minimax(const QString&, const QString&, const QString&, const QString&, const QString&, const QString&,
                         TextUpdate, Completion<QString> done) override
    {
        return failLater(std::move(done));
    }
    Cancellation codex(const QString& text, const QString& language, const QString& model, TextUpdate update,
                       Completion<QString> done) override
    {
        return CodexClient::shared().translate(text, language, model, std::move(update), std::move(done));
    }
};

} // namespace

std::shared_ptr<TranslationEngines> TranslationEngines::shared()
{
    static const auto instance = std::make_shared<ClientEngines>();
    return instance;
}

} // namespace quilvant
