#include "platform/ProgramCaptureTool.h"

#include <QPointer>
#include <QRegularExpression>
#include <thread>

namespace quilvant {

// One capture in flight: its runner (terminate() reaches it from the GUI thread) and its thread.
struct ProgramCaptureTool::Run
{
    std::shared_ptr<Runner> runner;
    std::thread thread;
    bool cancelled = false;
};

ProgramCaptureTool::ProgramCaptureTool(QString name, QStringList programs, Recipe recipe,
                                       std::shared_ptr<Runner::Clock> clock, std::chrono::milliseconds limit,
                                       QObject* parent)
    : QObject(parent)
    , m_name(std::move(name))
    , m_programs(std::move(programs))
    , m_recipe(std::move(recipe))
    , m_clock(std::move(clock))
    , m_limit(limit)
{}

ProgramCaptureTool::~ProgramCaptureTool()
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

bool ProgramCaptureTool::available() const
{
    for (const QString& program : m_programs) {
        if (!Runner::locate(program)) {
            return false;
        }
    }
    return true;
}

Cancellation ProgramCaptureTool::capture(const QString& path, Completion<int> done)
{
    auto run = std::make_shared<Run>();
    run->runner = std::make_shared<Runner>(m_clock);
    m_runs.push_back(run);
    QPointer<ProgramCaptureTool> self(this);
    // The thread ends by handing its outcome to the GUI thread, which joins it there.
    run->thread = std::thread([self, run, recipe = m_recipe, path, limit = m_limit, done = std::move(done)]() mutable {
        Outcome<int> outcome = recipe(*run->runner, path, limit);
        QMetaObject::invokeMethod(
            self.data(),
            [self, run, outcome = std::move(outcome), done = std::move(done)]() mutable {
                if (run->thread.joinable()) {
                    run->thread.join();
                }
                if (self) {
                    std::erase(self->m_runs, run);
                }
                done(run->cancelled ? Outcome<int>(Error::cancelled()) : std::move(outcome));
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

std::unique_ptr<ProgramCaptureTool> ProgramCaptureTool::maim(std::shared_ptr<Runner::Clock> clock)
{
    return std::make_unique<ProgramCaptureTool>(
        QStringLiteral("maim"), QStringList{QStringLiteral("maim")},
        [](Runner& runner, const QString& path, std::chrono::milliseconds limit) -> Outcome<int> {
            const Outcome<Runner::Result> result =
                runner.run(QStringLiteral("maim"), {QStringLiteral("-s"), QStringLiteral("-u"), path}, limit);
            if (!result) {
                return result.error();
            }
            return result.value().status;
        },
        std::move(clock));
}

std::unique_ptr<ProgramCaptureTool> ProgramCaptureTool::spectacle(std::shared_ptr<Runner::Clock> clock)
{
    return std::make_unique<ProgramCaptureTool>(
        QStringLiteral("spectacle"), QStringList{QStringLiteral("spectacle")},
        [](Runner& runner, const QString& path, std::chrono::milliseconds limit) -> Outcome<int> {
            const Outcome<Runner::Result> result = runner.run(
                QStringLiteral("spectacle"),
                {QStringLiteral("-r"), QStringLiteral("-b"), QStringLiteral("-n"), QStringLiteral("-o"), path}, limit);
            if (!result) {
                return result.error();
            }
            return result.value().status;
        },
        std::move(clock));
}

std::unique_ptr<ProgramCaptureTool> ProgramCaptureTool::slurpGrim(std::shared_ptr<Runner::Clock> clock)
{
    return std::make_unique<ProgramCaptureTool>(
        QStringLiteral("slurp-grim"), QStringList{QStringLiteral("slurp"), QStringLiteral("grim")},
        [](Runner& runner, const QString& path, std::chrono::milliseconds limit) -> Outcome<int> {
            const Outcome<Runner::Result> region = runner.run(QStringLiteral("slurp"), {}, limit);
            if (!region) {
                return region.error();
            }
            if (region.value().status != 0) {
                return region.value().status;
            }
            // slurp prints "X,Y WxH"; anything else is not handed on to grim.
            static const QRegularExpression geometry(QStringLiteral("^-?\\d+,-?\\d+ \\d+x\\d+$"));
            const QString selected = QString::fromUtf8(region.value().output).trimmed();
            if (!geometry.match(selected).hasMatch()) {
                return 2;
            }
            const Outcome<Runner::Result> shot =
                runner.run(QStringLiteral("grim"), {QStringLiteral("-g"), selected, path}, limit);
            if (!shot) {
                return shot.error();
            }
            return shot.value().status;
        },
        std::move(clock));
}

} // namespace quilvant
