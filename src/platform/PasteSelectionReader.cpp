#include "platform/PasteSelectionReader.h"

namespace quilvant {

PasteSelectionReader::PasteSelectionReader(bool primary, QString program, QObject* parent)
    : SelectionReader(parent)
    , m_program(std::move(program))
    , m_primary(primary)
{}

PasteSelectionReader::~PasteSelectionReader() = default;

bool PasteSelectionReader::available() const
{
    return Runner::locate(m_program).has_value();
}

namespace {

// One wl-paste run: the text, nothing (the selection is empty: wl-paste ends with status 1), or too much.
Outcome<SelectedText> paste(Runner& runner, const QString& program, bool primary, qsizetype limit)
{
    // "text" lets wl-paste choose a plain-text type of those offered, so a rich selection gives its plain text.
    QStringList arguments{QStringLiteral("--no-newline"), QStringLiteral("--type"), QStringLiteral("text")};
    if (primary) {
        arguments.prepend(QStringLiteral("--primary"));
    }
    const Outcome<Runner::Result> result = runner.run(program, arguments, PasteSelectionReader::timeLimit);
    if (!result) {
        return result.error();
    }
    const SelectedText::From from = primary ? SelectedText::From::Primary : SelectedText::From::Clipboard;
    if (result.value().outputCut || result.value().output.size() > limit) {
        return SelectedText{{}, from, true};
    }
    if (result.value().status >= 128) {
        // Ended by the watchdog: the owner did not answer in time.
        return AppFailure{QStringLiteral("选中文字的程序没有回应，请重试。")};
    }
    const QString text = QString::fromUtf8(result.value().output);
    if (result.value().status != 0 || text.trimmed().isEmpty()) {
        return SelectedText{};
    }
    return SelectedText{text, from, false};
}

} // namespace

Cancellation PasteSelectionReader::read(qsizetype limit, Completion<SelectedText> done)
{
    m_jobs.cancelAll();
    return m_jobs.start<SelectedText>(
        this,
        [program = m_program, primary = m_primary, limit](Runner& runner) {
            Outcome<SelectedText> outcome = paste(runner, program, primary, limit);
            if (primary && outcome && !outcome.value().tooLarge && outcome.value().text.isEmpty()) {
                outcome = paste(runner, program, false, limit);
            }
            return outcome;
        },
        std::move(done));
}

} // namespace quilvant
