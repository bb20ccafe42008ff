#pragma once

#include "core/Runner.h"
#include "core/RunnerJobs.h"
#include "platform/CaptureTool.h"

#include <QObject>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

namespace quilvant {

// A capture tool made of outside programs, run one after another on a thread of their own under Runner's
// watchdog: maim on X11, spectacle on KDE, slurp then grim on wlroots desktops.
class ProgramCaptureTool final : public QObject, public CaptureTool
{
    Q_OBJECT

public:
    // The programs' part, run on the tool's thread: the exit status, or the launch error.
    using Recipe = std::function<Outcome<int>(Runner& runner, const QString& path, std::chrono::milliseconds limit)>;

    static constexpr std::chrono::seconds timeLimit{180};

    // `programs` are the names available() looks for; `clock` is the watchdog's time.
    ProgramCaptureTool(QString name, QStringList programs, Recipe recipe,
                       std::shared_ptr<Runner::Clock> clock = Runner::realClock(),
                       std::chrono::milliseconds limit = timeLimit, QObject* parent = nullptr);
    // Ends a running tool and waits for its thread.
    ~ProgramCaptureTool() override;

    // `maim -s -u PATH`: the region dragged on X11 (exit 1 when the person presses Escape).
    static std::unique_ptr<ProgramCaptureTool> maim(std::shared_ptr<Runner::Clock> clock = Runner::realClock());
    // `spectacle -r -b -n -o PATH`: KDE's region capture.
    static std::unique_ptr<ProgramCaptureTool> spectacle(std::shared_ptr<Runner::Clock> clock = Runner::realClock());
    // `slurp` for the region, then `grim -g REGION PATH`, on wlroots desktops.
    static std::unique_ptr<ProgramCaptureTool> slurpGrim(std::shared_ptr<Runner::Clock> clock = Runner::realClock());

    QString name() const override { return m_name; }
    bool available() const override;
    Cancellation capture(const QString& path, Completion<int> done) override;

private:
    QString m_name;
    QStringList m_programs;
    Recipe m_recipe;
    std::shared_ptr<Runner::Clock> m_clock;
    std::chrono::milliseconds m_limit;
    RunnerJobs m_jobs;
};

} // namespace quilvant
