#include "session/CommandLineTranslation.h"

#include "chatstream/MiniMaxEventReader.h"
#include "core/Console.h"
#include "engines/hosted/HostedStream.h"
#include "engines/minimax/MiniMaxClient.h"
#include "foundation/EngineKind.h"
#include "foundation/L.h"
#include "foundation/Settings.h"
#include "foundation/TargetLanguage.h"
#include "session/Model.h"
#include "session/TranslationConsent.h"

#include <QCoreApplication>
#include <QTimer>
#include <algorithm>
#include <unistd.h>

namespace quilvant::CommandLineTranslation {

namespace {

const QString flag = QStringLiteral("--translate");

// The largest source any engine can take: the whole translation has to come back in one event or body, and the
// engines accept at most these many bytes in one. Standard input beyond it is refused unread.
constexpr qsizetype inputLimit =
    std::max({MiniMaxClient::bodyLimit, MiniMaxEventReader::lineLimit, HostedStream::lineLimit});
// A consent answer is a word.
constexpr qsizetype answerLimit = 4096;

std::optional<QString> languageNamed(const QString& code)
{
    for (const TargetLanguage::Entry& entry : TargetLanguage::all()) {
        if (entry.code.compare(code, Qt::CaseInsensitive) == 0) {
            return entry.code;
        }
    }
    return std::nullopt;
}

bool interactive()
{
    return ::isatty(STDIN_FILENO) == 1 && ::isatty(STDERR_FILENO) == 1;
}

// Progress and questions go to standard error, cleaned: partial text comes from a server.
void toTerminal(const QString& text)
{
    Console::printToError(text);
}

// The consent question on a terminal: the notice on standard error, the answer from standard input.
class TerminalPrompt final : public ConsentPrompt
{
public:
    Answer ask() override
    {
        toTerminal(L::t(QStringLiteral("翻译前请确认")) + QLatin1Char('\n') + L::t(L::consentNoticeKey) +
                   QStringLiteral("\n%1 [y/N] ").arg(L::t(QStringLiteral("同意并继续"))));
        const QString reply = Console::readLine(answerLimit).value_or(QString()).trimmed().toLower();
        return reply == QStringLiteral("y") || reply == QStringLiteral("yes") ? Answer::Agree : Answer::Cancel;
    }
};

// Shows the status and the hosted engine's partial text on a terminal while the translation runs.
class Progress
{
public:
    void status(const QString& text)
    {
        if (text != m_status) {
            m_status = text;
            line(QStringLiteral("[%1]").arg(text));
        }
    }
    void partial(const QString& text)
    {
        if (text.startsWith(m_partial) && !m_partial.isEmpty()) {
            toTerminal(text.mid(m_partial.size()));
        } else if (!text.isEmpty()) {
            line(text);
        }
        m_partial = text;
        m_open = !text.isEmpty();
    }
    void end()
    {
        if (m_open) {
            toTerminal(QStringLiteral("\n"));
            m_open = false;
        }
    }

private:
    void line(const QString& text)
    {
        end();
        toTerminal(text);
        m_open = true;
        m_partial.clear();
    }

    QString m_status;
    QString m_partial;
    bool m_open = false;
};

QString consentHelp()
{
    return QStringLiteral("consent to sending text for translation is needed first. Run quilvant --translate once "
                          "on a terminal and agree, agree in the desktop program, or store %1=%2 in %3.")
        .arg(Settings::Key::translationPrivacyConsent, TranslationConsent::marker, Settings::filePath());
}

} // namespace

Outcome<Request> parse(const QStringList& arguments)
{
    Request request;
    const qsizetype start = arguments.indexOf(flag);
    // Options may stand anywhere; words count as text only after the flag, and "--" makes the rest words.
    QStringList words;
    bool onlyWords = false;
    for (qsizetype index = 0; index < arguments.size(); ++index) {
        const QString& argument = arguments.at(index);
        if (!onlyWords && (argument == QStringLiteral("--engine") || argument == QStringLiteral("--to"))) {
            if (index + 1 >= arguments.size()) {
                return AppFailure{QStringLiteral("%1 needs a value.").arg(argument)};
            }
            const QString value = arguments.at(++index);
            if (argument == QStringLiteral("--engine")) {
                const std::optional<EngineKind> engine = Engines::fromCommandLine(value);
                if (engine) {
                    request.engine = Engines::storedName(*engine);
                } else {
                    return AppFailure{
                        QStringLiteral("unknown engine \"%1\"; use Quilvant (hosted), MiniMax or Codex.").arg(value)};
                }
            } else {
                request.target = languageNamed(value);
                if (!request.target) {
                    QStringList codes;
                    for (const TargetLanguage::Entry& entry : TargetLanguage::all()) {
                        codes.append(entry.code);
                    }
                    return AppFailure{QStringLiteral("unknown target language \"%1\"; use one of %2.")
                                          .arg(value, codes.join(QStringLiteral(", ")))};
                }
            }
            continue;
        }
        if (index <= start) {
            continue;
        }
        if (!onlyWords && argument == QStringLiteral("--")) {
            onlyWords = true;
            continue;
        }
        words.append(argument);
    }
    request.fromInput = words.isEmpty();
    request.text = words.join(QLatin1Char(' '));
    return request;
}

void run(const QStringList& arguments, Completion<void> done)
{
    auto parsed = parse(arguments);
    if (!parsed) {
        done(parsed.error());
        return;
    }
    Request request = std::move(parsed).value();
    // Unreadable settings would read as "nothing stored": consent missing, the default engine.
    if (const Outcome<void> settings = Settings::readable(); !settings) {
        done(settings.error());
        return;
    }
    if (request.engine) {
        Settings::setOverride(Settings::Key::engine, *request.engine);
    }
    if (request.target) {
        Settings::setOverride(Settings::Key::language, *request.target);
    }

    const bool terminal = interactive();
    TerminalPrompt prompt;
    if (!TranslationConsent::given()) {
        if (!terminal) {
            done(AppFailure{consentHelp()});
            return;
        }
        if (!TranslationConsent::ensure(&prompt)) {
            done(AppFailure{QStringLiteral("consent was not given; nothing was sent.")});
            return;
        }
    }

    if (request.fromInput) {
        const std::optional<QByteArray> read = Console::readAll(inputLimit);
        if (!read) {
            done(AppFailure{L::t(QStringLiteral("标准输入超过 %1 字节，超出翻译服务能接受的长度。")).arg(inputLimit)});
            return;
        }
        QString input = QString::fromUtf8(*read);
        // The line feed that ends the last line of the input is not part of the text.
        if (input.endsWith(QLatin1Char('\n'))) {
            input.chop(input.endsWith(QStringLiteral("\r\n")) ? 2 : 1);
        }
        request.text = input;
    }
    if (request.text.trimmed().isEmpty()) {
        done(AppFailure{QStringLiteral("nothing to translate.")});
        return;
    }

    auto* model = new Model(TranslationEngines::shared(), QCoreApplication::instance());
    // Consent was settled above; if it could not be stored, the answer given here still holds for this run.
    struct Agreed final : ConsentPrompt
    {
        Answer ask() override { return Answer::Agree; }
    };
    auto agreed = std::make_shared<Agreed>();
    model->setConsentPrompt(agreed.get());
    auto progress = std::make_shared<Progress>();
    if (terminal) {
        QObject::connect(model, &Model::statusChanged, model, [model, progress] { progress->status(model->status()); });
        QObject::connect(model, &Model::translatedChanged, model, [model, progress] {
            if (model->busy()) {
                progress->partial(model->translated());
            }
        });
    }
    auto finish = std::make_shared<Completion<void>>(std::move(done));
    QObject::connect(
        model, &Model::busyChanged, model,
        [model, progress, finish, agreed, terminal] {
            if (model->busy() || !*finish) {
                return;
            }
            if (terminal) {
                progress->end();
            }
            Completion<void> report = std::exchange(*finish, nullptr);
            const std::optional<QString> error = model->error();
            const QString translation = model->translated();
            model->deleteLater();
            Outcome<void> outcome;
            if (error) {
                outcome = AppFailure{*error};
            } else if (model->status() != L::t(QStringLiteral("翻译完成"))) {
                outcome = AppFailure{QStringLiteral("the translation was stopped.")};
            } else {
                Console::printLine(translation);
            }
            // The translation is out; the transfer that brought it may still be reading the end of its body.
            TranslationEngines::shared()->whenSettled([report, outcome] { report(outcome); });
        },
        Qt::QueuedConnection);
    model->setSource(request.text);
    model->translate();
    if (!model->busy() && *finish) {
        std::exchange(*finish, nullptr)(AppFailure{QStringLiteral("the translation did not start.")});
        model->deleteLater();
    }
}

} // namespace quilvant::CommandLineTranslation
