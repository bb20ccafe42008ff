#include "engines/hosted/HostedClient.h"

#include "core/Redaction.h"
#include "engines/hosted/HostedErrors.h"
#include "engines/hosted/HostedJson.h"
#include "engines/hosted/HostedStream.h"
#include "foundation/L.h"
#include "foundation/Settings.h"
#include "foundation/TargetLanguage.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QPointer>
#include <QUuid>

namespace quilvant {

namespace {

bool isLoopbackHost(const QString& host)
{
    return host == QStringLiteral("127.0.0.1") || host.compare(QStringLiteral("localhost"), Qt::CaseInsensitive) == 0;
}

QUrl appendPath(QUrl base, const QString& path)
{
    QString joined = base.path();
    if (!joined.endsWith(QLatin1Char('/'))) {
        joined += QLatin1Char('/');
    }
    base.setPath(joined + path);
    return base;
}

// One request's end and its transfer. The end is reported once, with the access token hidden in any message,
// by the transfer, by a failure found in the response, or by cancellation.
template <typename T>
struct Operation
{
    Operation(Completion<T> done, QString token)
        : end(std::make_shared<Once<T>>(std::move(done)))
        , secret(std::move(token))
    {}

    std::shared_ptr<Once<T>> end;
    QString secret;
    Cancellation transfer;

    bool finished() const { return end->decided(); }
    void finish(Outcome<T> outcome)
    {
        end->finish(outcome ? std::move(outcome) : Outcome<T>(Redaction::redacted(outcome.error(), {secret})));
    }
    // Stops reading (an error event, a full body) and ends with `outcome` at once.
    void abandon(Outcome<T> outcome)
    {
        transfer.cancel();
        finish(std::move(outcome));
    }
};

// The caller's handle: ends the operation with cancellation (from the event loop) and stops its transfer.
template <typename T>
Cancellation handleFor(const std::shared_ptr<Operation<T>>& operation)
{
    return Cancellation([operation] {
        Once<T>::cancel(operation->end);
        operation->transfer.cancel();
    });
}

// A failure found before any transfer started, reported from the event loop.
template <typename T>
Cancellation failLater(Error error, Completion<T> done)
{
    auto operation = std::make_shared<Operation<T>>(std::move(done), QString());
    Once<T>::finishLater(operation->end, std::move(error));
    return handleFor(operation);
}

Error redirectFailure(const http::HttpHead& head)
{
    const QString target = Redaction::firstCharacters(head.location());
    return AppFailure{target.isEmpty()
                          ? L::t(QStringLiteral("服务地址被重定向（HTTP %1），但未给出新地址。")).arg(head.status)
                          : L::t(QStringLiteral("服务地址被重定向（HTTP %1）到 %2。")).arg(head.status).arg(target)};
}

} // namespace

HostedClient::HostedClient(std::optional<QUrl> testBaseURL, http::HttpTransportOptions options, QObject* parent)
    : QObject(parent)
    , m_testBaseURL(std::move(testBaseURL))
    , m_transport(std::move(options))
{
    if (m_testBaseURL && !isLoopbackHost(m_testBaseURL->host())) {
        qFatal("HostedClient: a test base URL must name 127.0.0.1 or localhost");
    }
}

HostedClient::~HostedClient() = default;

HostedClient& HostedClient::shared()
{
    static QPointer<HostedClient> instance;
    if (instance.isNull()) {
        instance = new HostedClient(std::nullopt, {}, QCoreApplication::instance());
    }
    return *instance;
}

std::optional<QUrl> HostedClient::configuredBaseURL(const QString& setting)
{
    const QUrl url(setting.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.host().isEmpty() || !url.userInfo().isEmpty()) {
        return std::nullopt;
    }
    const QString scheme = url.scheme().toLower();
    if (scheme == QStringLiteral("https") || (scheme == QStringLiteral("http") && isLoopbackHost(url.host()))) {
        return url;
    }
    return std::nullopt;
}

Outcome<http::HttpRequest> HostedClient::buildRequest(const QString& path,
                                                      const QList<std::pair<QString, QString>>& body,
                                                      const QString& token) const
{
    const std::optional<QUrl> base = m_testBaseURL ? m_testBaseURL : configuredBaseURL(Settings::serviceURL());
    if (!base) {
        return AppFailure{L::t(QStringLiteral("服务尚未开放"))};
    }
    if (Redaction::hasControlCharacter(token)) {
        return AppFailure{L::t(QStringLiteral("服务令牌含有控制字符，请重新保存。"))};
    }
    http::HttpRequest request;
    request.url = appendPath(*base, path);
    request.method = body.isEmpty() ? "GET" : "POST";
    request.idleTimeoutSeconds = requestIdleTimeoutSeconds;
    request.timeoutSeconds = resourceTimeoutSeconds;
    request.headers.append(std::pair<QByteArray, QByteArray>("Content-Type", "application/json"));
    request.headers.append(std::pair<QByteArray, QByteArray>(privacyHeader, privacyMarker));
    if (!token.isEmpty()) {
        request.headers.append(std::pair<QByteArray, QByteArray>("Authorization", "Bearer " + token.toUtf8()));
    }
    if (!body.isEmpty()) {
        nlohmann::json object = nlohmann::json::object();
        for (const auto& [key, value] : body) {
            object[key.toStdString()] = value.toStdString();
        }
        try {
            const std::string serialised = object.dump();
            request.body = QByteArray(serialised.data(), static_cast<qsizetype>(serialised.size()));
        } catch (const nlohmann::json::exception& failure) {
            return Error::system(QString::fromUtf8(failure.what()));
        }
    }
    return request;
}

Cancellation HostedClient::translate(const QString& text, const QString& target, const QString& token,
                                     TextUpdate update, Completion<HostedResult> done)
{
    auto built =
        buildRequest(QStringLiteral("v1/translate"),
                     {{QStringLiteral("source"), text},
                      {QStringLiteral("target"), TargetLanguage::code(target)},
                      {QStringLiteral("requestID"), QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()}},
                     token);
    if (!built) {
        return failLater(built.error(), std::move(done));
    }
    http::HttpRequest request = std::move(built).value();
    request.headers.append(std::pair<QByteArray, QByteArray>("Accept", "text/event-stream"));
    // Hashed: the cache holds no token.
    const QChar nul(u'\0');
    const QString key =
        QString::fromLatin1(QCryptographicHash::hash((request.url.toString(QUrl::FullyEncoded) + nul +
                                                      TargetLanguage::code(target) + nul + token + nul + text)
                                                         .toUtf8(),
                                                     QCryptographicHash::Sha256)
                                .toHex());
    m_cache.purgeExpired();
    if (const std::optional<QString> cached = m_cache.lookup(key)) {
        auto operation = std::make_shared<Operation<HostedResult>>(std::move(done), token);
        QMetaObject::invokeMethod(
            this,
            [operation, update = std::move(update), text = *cached] {
                if (operation->finished()) {
                    return;
                }
                if (update) {
                    update(text);
                }
                operation->finish(HostedResult{text, 0, std::nullopt});
            },
            Qt::QueuedConnection);
        return handleFor(operation);
    }

    struct State : Operation<HostedResult>
    {
        using Operation::Operation;
        TextUpdate forward;
        HostedStream stream{nullptr};
        bool failed = false; // the response is not a success: its body is an error body
        QByteArray errorBody;
    };
    // Only a whole translation is kept; a failure, or one cancelled, is asked again next time.
    QPointer<HostedClient> self(this);
    auto state = std::make_shared<State>(
        [self, key, done = std::move(done)](Outcome<HostedResult> outcome) {
            if (outcome && self) {
                self->m_cache.store(key, outcome.value().text);
            }
            done(std::move(outcome));
        },
        token);
    state->forward = std::move(update);
    state->stream = HostedStream([weak = std::weak_ptr<State>(state)](const QString& partial) {
        // A cancel from inside an update ends the call: nothing more reaches the caller.
        if (const auto strong = weak.lock(); strong && !strong->finished() && strong->forward) {
            strong->forward(partial);
        }
    });

    http::HttpHandlers handlers;
    handlers.head = [state](const http::HttpHead& head) {
        if (head.isRedirect()) {
            return state->abandon(redirectFailure(head));
        }
        state->failed = head.status < 200 || head.status > 299;
    };
    handlers.body = [state](const QByteArray& bytes) {
        if (state->finished()) {
            return;
        }
        if (state->failed) {
            state->errorBody.append(bytes);
            if (state->errorBody.size() > errorBodyLimit) {
                state->abandon(HostedErrors::responseFailure(state->errorBody));
            }
            return;
        }
        if (auto fed = state->stream.feed(bytes); !fed) {
            state->abandon(fed.error());
        }
    };
    handlers.done = [state](const Outcome<void>& outcome, const http::HttpTimings&) {
        if (state->finished()) {
            return;
        }
        if (!outcome) {
            state->finish(outcome.error());
        } else if (state->failed) {
            state->finish(HostedErrors::responseFailure(state->errorBody));
        } else {
            state->finish(state->stream.finish());
        }
    };
    state->transfer = m_transport.start(request, std::move(handlers));
    return handleFor<HostedResult>(state);
}

Cancellation HostedClient::moderate(const QString& text, const QString& stage, const QString& requestID,
                                    const QString& token, Completion<void> done)
{
    auto built = buildRequest(
        QStringLiteral("v1/moderate"),
        {{QStringLiteral("text"), text}, {QStringLiteral("stage"), stage}, {QStringLiteral("requestID"), requestID}},
        token);
    if (!built) {
        return failLater(built.error(), std::move(done));
    }

    struct State : Operation<void>
    {
        using Operation::Operation;
        int status = 0;
        QByteArray body;
    };
    auto state = std::make_shared<State>(std::move(done), token);

    http::HttpHandlers handlers;
    handlers.head = [state](const http::HttpHead& head) {
        if (head.isRedirect()) {
            return state->abandon(redirectFailure(head));
        }
        state->status = head.status;
    };
    handlers.body = [state](const QByteArray& bytes) {
        if (state->finished()) {
            return;
        }
        state->body.append(bytes);
        // A verdict is a few bytes; a failure is judged on what fits, as a translation's error body is.
        if (state->body.size() > errorBodyLimit) {
            const bool success = state->status >= 200 && state->status <= 299;
            state->abandon(success ? Error(AppFailure{L::t(HostedStream::tooMuchDataKey)})
                                   : HostedErrors::responseFailure(state->body));
        }
    };
    handlers.done = [state](const Outcome<void>& outcome, const http::HttpTimings&) {
        if (state->finished()) {
            return;
        }
        if (!outcome) {
            return state->finish(outcome.error());
        }
        if (state->status < 200 || state->status > 299) {
            return state->finish(HostedErrors::responseFailure(state->body));
        }
        const QString record = QStringLiteral("moderation verdict");
        const auto object = HostedJson::parseObject(state->body, record);
        if (!object) {
            return state->finish(object.error());
        }
        const auto action = HostedJson::requiredString(object.value(), "action", record);
        if (!action) {
            state->finish(action.error());
        } else if (action.value() == QStringLiteral("allow")) {
            state->finish(Outcome<void>());
        } else {
            state->finish(AppFailure{L::t(QStringLiteral("审核服务暂不可用，请稍后重试。此次不扣额度。"))});
        }
    };
    state->transfer = m_transport.start(built.value(), std::move(handlers));
    return handleFor<void>(state);
}

} // namespace quilvant
