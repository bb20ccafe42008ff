#pragma once

#include "core/Runner.h"
#include "core/RunnerJobs.h"
#include "platform/SelectionReader.h"

#include <memory>
#include <vector>

namespace quilvant {

// The selection on Wayland through wl-paste (wl-clipboard), which reads it without a window of its own where
// the compositor offers the data-control protocol (wlroots desktops, KDE): the primary selection, then the
// clipboard; with `primary` off only the clipboard. Each run has two seconds and its output a bounded size.
class PasteSelectionReader final : public SelectionReader
{
    Q_OBJECT

public:
    static constexpr std::chrono::milliseconds timeLimit{2000};

    PasteSelectionReader(bool primary, QString program = QStringLiteral("wl-paste"), QObject* parent = nullptr);
    // Ends a read in progress (its child process) and waits for its thread.
    ~PasteSelectionReader() override;

    // Whether the program is installed.
    bool available() const;

    Access access() const override { return m_primary ? Access::Primary : Access::Clipboard; }
    Cancellation read(qsizetype limit, Completion<SelectedText> done) override;

private:
    QString m_program;
    bool m_primary;
    RunnerJobs m_jobs;
};

} // namespace quilvant
