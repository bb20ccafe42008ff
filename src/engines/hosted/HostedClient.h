#pragma once

#include "core/Async.h"
#include "engines/common/TranslationCache.h"
#include "engines/hosted/HostedResult.h"
#include "engines/http/HttpTransport.h"

#include <QObject>
#include <QString>
#include <QUrl>
#include <optional>

namespace quilvant {

// The hosted translation service: a streamed translation read as a server-sent event stream, and the
// moderation check of a text. Confined to the GUI thread; answers a translation asked again (same service,
// language, token and text) from a small memory cache, and writes no diagnostics.
class HostedClient : public QObject
{
    Q_OBJECT

public:
    static constexpr qsizetype errorBodyLimit = 40'000;
    static constexpr double requestIdleTimeoutSeconds = 60;
    static constexpr double resourceTimeoutSeconds = 90;
    // Sent with every request.
    static constexpr const char* privacyHeader = "X-Quilvant-Privacy";
    static constexpr const char* privacyMarker = "norvel-sift-1";

    // Without `testBaseURL` the base URL is the serviceURL setting, read at each call. A test base URL must
    // name 127.0.0.1 or localhost; anything else stops the process.
    explicit HostedClient(std::optional<QUrl> testBaseURL = std::nullopt, http::HttpTransportOptions options = {},
                          QObject* parent = nullptr);
    ~HostedClient() override;

    // The process-wide client, created on first use on the GUI thread.
    static HostedClient& shared();

    // Translates `text` into the target-language setting value `target`. `update` gets the text of each
    // "delta" event as received (the service sends the whole translation so far). A translation in the cache
    // is delivered from the event loop, once through `update` and then as the result, with nothing sent.
    Cancellation translate(const QString& text, const QString& target, const QString& token, TextUpdate update,
                           Completion<HostedResult> done);

    // Forgets every translation kept, so that the next of each is asked of the service.
    void clearCache() { m_cache = TranslationCache(); }

    // Succeeds when the service allows `text` at `stage` ("input" or "output").
    Cancellation moderate(const QString& text, const QString& stage, const QString& requestID, const QString& token,
                          Completion<void> done);

    // The configured base URL: https, or http on a loopback host; nullopt when none is usable.
    static std::optional<QUrl> configuredBaseURL(const QString& setting);

private:
    Outcome<http::HttpRequest> buildRequest(const QString& path, const QList<std::pair<QString, QString>>& body,
                                            const QString& token) const;

    std::optional<QUrl> m_testBaseURL;
    http::HttpTransport m_transport;
    TranslationCache m_cache;
};

} // namespace quilvant
