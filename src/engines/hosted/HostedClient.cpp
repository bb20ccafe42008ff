#include "engines/hosted/HostedClient.h"

#include "engines/hosted/HostedErrors.h"
#include "engines/hosted/HostedJson.h"
#include "engines/hosted/HostedStream.h"
#include "foundation/L.h"
#include "foundation/Settings.h"
#include "foundation/TargetLanguage.h"

#include <QCoreApplication>
#include <QPointer>
#include <QTimer>
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

// One operation's end, reported once: by the transfer, by a failure found in the body, or by cancellation.
template <typename T>
struct Finisher
{
    Completion<T> done;
    Cancellation transfer;

    bool finished() const { return !done; }
    void finish(Outcome<T> outcome)
    {
        if (done) {
            std::exchange(done, nullptr)(std::move(outcome));
        }
    }
    // Stops reading (an error event, a full error body) and ends with `outcome` at once.
    void abandon(Outcome<T> outcome)
    {
        Completion<T> pending = std::exchange(done, nullptr);
        transfer.cancel();
        if (pending) {
            pending(std::move(outcome));
        }
    }
};

// A failure found before any transfer started: reported from the event loop, never from inside the call.
template <typename T>
Cancellation failLater(QObject* context, Error error, Completion<T> done)
{
    auto state = std::make_shared<Finisher<T>>();
    state->done = std::move(done);
    QTimer::singleShot(0, context, [state, error] { state->finish(error); });
    return Cancellation([state] {
        // After cancel() the operation ends with cancellation, still from the event loop.
        if (!state->finished()) {
            QTimer::singleShot(0, QCoreApplication::instance(),
                               [pending = std::exchange(state->done, nullptr)] { pending(Error::cancelled()); });
        }
    });
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
        return failLater(this, built.error(), std::move(done));
    }
    http::HttpRequest request = std::move(built).value();
    request.headers.append(std::pair<QByteArray, QByteArray>("Accept", "text/event-stream"));

    struct State : Finisher<HostedResult>
    {
        explicit State(TextUpdate forward)
            : stream(std::move(forward))
        {}
        HostedStream stream;
        bool failed = false; // the response is not a success: its body is an error body
        QByteArray errorBody;
    };
    auto state = std::make_shared<State>([update = std::move(update)](const QString& partial) {
        if (update) {
            update(partial);
        }
    });
    state->done = std::move(done);

    http::HttpHandlers handlers;
    handlers.head = [state](const http::HttpHead& head) { state->failed = head.status < 200 || head.status > 299; };
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
    // The caller's cancel stops the transfer; its end then arrives as cancellation through `done`.
    return Cancellation([state] { state->transfer.cancel(); });
}

Cancellation HostedClient::moderate(const QString& text, const QString& stage, const QString& requestID,
                                    const QString& token, Completion<void> done)
{
    auto built = buildRequest(
        QStringLiteral("v1/moderate"),
        {{QStringLiteral("text"), text}, {QStringLiteral("stage"), stage}, {QStringLiteral("requestID"), requestID}},
        token);
    if (!built) {
        return failLater(this, built.error(), std::move(done));
    }

    struct State : Finisher<void>
    {
        int status = 0;
        QByteArray body;
    };
    auto state = std::make_shared<State>();
    state->done = std::move(done);

    http::HttpHandlers handlers;
    handlers.head = [state](const http::HttpHead& head) { state->status = head.status; };
    handlers.body = [state](const QByteArray& bytes) { state->body.append(bytes); };
    handlers.done = [state](const Outcome<void>& outcome, const http::HttpTimings&) {
        if (!outcome) {
            state->finish(outcome.error());
            return;
        }
        if (state->status < 200 || state->status > 299) {
            state->finish(HostedErrors::responseFailure(state->body));
            return;
        }
        const QString record = QStringLiteral("moderation verdict");
        const auto object = HostedJson::parseObject(state->body, record);
        if (!object) {
            state->finish(object.error());
            return;
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
    return Cancellation([state] { state->transfer.cancel(); });
}

} // namespace quilvant
