#include "platform/PasteSelectionReader.h"

#include <QPointer>
#include <thread>

namespace quilvant {

struct PasteSelectionReader::Run
{
    std::shared_ptr<Runner> runner = std::make_shared<Runner>();
    std::thread thread;
    bool cancelled = false;
};

PasteSelectionReader::PasteSelectionReader(bool primary, QString program, QObject* parent)
    : SelectionReader(parent)
    , m_program(std::move(program))
    , m_primary(primary)
{}

PasteSelectionReader::~PasteSelectionReader()
{
    for (const std::shared_ptr<Run>& run : m_runs) {
        run->runner->terminate();
    }
    for (const std::shared_ptr<Run>& run : m_runs) {
        if (run->thread.joinable()) {
            run->thread.join();
        }
    }
}

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
    for (const std::shared_ptr<Run>& earlier : m_runs) {
        earlier->cancelled = true;
        earlier->runner->terminate();
    }
    auto run = std::make_shared<Run>();
    m_runs.push_back(run);
    QPointer<PasteSelectionReader> self(this);
    run->thread =
        std::thread([self, run, program = m_program, primary = m_primary, limit, done = std::move(done)]() mutable {
            Outcome<SelectedText> outcome = paste(*run->runner, program, primary, limit);
            if (primary && outcome && !outcome.value().tooLarge && outcome.value().text.isEmpty()) {
                outcome = paste(*run->runner, program, false, limit);
            }
            QMetaObject::invokeMethod(
                self.data(),
                [self, run, outcome = std::move(outcome), done = std::move(done)]() mutable {
                    if (run->thread.joinable()) {
                        run->thread.join();
                    }
                    if (self) {
                        std::erase(self->m_runs, run);
                    }
                    done(run->cancelled ? Outcome<SelectedText>(Error::cancelled()) : std::move(outcome));
                },
                Qt::QueuedConnection);
        });
    std::weak_ptr<Run> weak = run;
    return Cancellation([weak] {
        if (const std::shared_ptr<Run> running = weak.lock()) {
            running->cancelled = true;
            running->runner->terminate();
        }
    });
}

} // namespace quilvant
