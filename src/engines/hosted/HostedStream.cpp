#include "engines/hosted/HostedStream.h"

#include "engines/hosted/HostedErrors.h"
#include "engines/hosted/HostedJson.h"
#include "foundation/L.h"

namespace quilvant {

namespace {

QString trimmedSpacesAndTabs(QStringView text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    const auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    while (begin < end && blank(text[begin])) {
        ++begin;
    }
    while (end > begin && blank(text[end - 1])) {
        --end;
    }
    return text.mid(begin, end - begin).toString();
}

Outcome<HostedResult> decodeResult(const QString& data)
{
    const QString record = QStringLiteral("\"done\"");
    const auto object = HostedJson::parseObject(data.toUtf8(), record);
    if (!object) {
        return object.error();
    }
    const auto text = HostedJson::requiredString(object.value(), "text", record);
    if (!text) {
        return text.error();
    }
    const auto remaining = HostedJson::requiredInteger(object.value(), "remainingCharacters", record);
    if (!remaining) {
        return remaining.error();
    }
    const auto requestID = HostedJson::optionalString(object.value(), "requestID", record);
    if (!requestID) {
        return requestID.error();
    }
    return HostedResult{text.value(), remaining.value(), requestID.value()};
}

const QString eventTooLarge = QStringLiteral("Server event too large.");

} // namespace

const QString HostedStream::tooMuchDataKey = QStringLiteral("服务返回的数据过大，已停止读取。");

HostedStream::HostedStream(TextUpdate update)
    : m_update(std::move(update))
{}

QString HostedStream::interruptedMessage()
{
    return QStringLiteral("The translation was interrupted before it finished. Please try again.");
}

Outcome<void> HostedStream::feed(QByteArrayView bytes)
{
    m_bodySize += bytes.size();
    if (m_bodySize > bodyLimit) {
        return AppFailure{L::t(tooMuchDataKey)};
    }
    while (!bytes.isEmpty()) {
        const qsizetype newline = bytes.indexOf('\n');
        const QByteArrayView piece = newline < 0 ? bytes : bytes.first(newline);
        if (m_buffer.size() + piece.size() > lineLimit) {
            return AppFailure{eventTooLarge};
        }
        m_buffer.append(piece);
        if (newline < 0) {
            return {};
        }
        bytes = bytes.sliced(newline + 1);
        QByteArray complete = std::exchange(m_buffer, QByteArray());
        if (complete.endsWith('\r')) {
            complete.chop(1);
        }
        if (auto handled = line(complete); !handled) {
            return handled;
        }
    }
    return {};
}

Outcome<void> HostedStream::line(const QByteArray& bytes)
{
    const QString text = QString::fromUtf8(bytes);
    if (text.startsWith(QStringLiteral("event:"))) {
        m_event = trimmedSpacesAndTabs(QStringView(text).sliced(6));
    } else if (text.startsWith(QStringLiteral("data:"))) {
        m_data += trimmedSpacesAndTabs(QStringView(text).sliced(5));
        if (m_data.size() > eventLimit) {
            return AppFailure{eventTooLarge};
        }
    } else if (text.isEmpty()) {
        return dispatch();
    }
    return {};
}

Outcome<void> HostedStream::dispatch()
{
    if (m_data.isEmpty()) {
        return {};
    }
    const QString event = std::exchange(m_event, QString());
    const QString data = std::exchange(m_data, QString());
    if (event == QStringLiteral("delta")) {
        const QByteArray json = data.toUtf8();
        nlohmann::json value;
        try {
            value = nlohmann::json::parse(json.constBegin(), json.constEnd());
        } catch (const nlohmann::json::parse_error& failure) {
            // The parser's own message quotes the bytes around the fault; a server echoing a token would show it.
            return Error::system(QStringLiteral("JSON parse error in a \"delta\" event at byte %1.").arg(failure.byte));
        } catch (const nlohmann::json::exception&) {
            return Error::system(QStringLiteral("JSON parse error in a \"delta\" event."));
        }
        if (value.is_object()) {
            if (const auto it = value.find("text"); it != value.end() && it->is_string()) {
                const auto& piece = it->get_ref<const std::string&>();
                if (m_update) {
                    m_update(QString::fromUtf8(piece.data(), static_cast<qsizetype>(piece.size())));
                }
            }
        }
    } else if (event == QStringLiteral("done")) {
        auto result = decodeResult(data);
        if (!result) {
            return result.error();
        }
        m_result = std::move(result).value();
    } else if (event == QStringLiteral("error")) {
        const auto code = HostedErrors::failureCode(data.toUtf8());
        if (!code) {
            return code.error();
        }
        return AppFailure{HostedErrors::messageFor(code.value())};
    }
    return {};
}

Outcome<HostedResult> HostedStream::finish()
{
    m_buffer.clear();
    if (auto pending = dispatch(); !pending) {
        return pending.error();
    }
    if (!m_result || m_result->text.isEmpty()) {
        return AppFailure{interruptedMessage()};
    }
    return *m_result;
}

} // namespace quilvant
