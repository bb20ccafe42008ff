#include "platform/ProgramCaptureTool.h"

#include <QRegularExpression>

namespace quilvant {

ProgramCaptureTool::ProgramCaptureTool(QString name, QStringList programs, Recipe recipe,
                                       std::shared_ptr<Runner::Clock> clock, std::chrono::milliseconds limit,
                                       QObject* parent)
    : QObject(parent)
    , m_name(std::move(name))
    , m_programs(std::move(programs))
    , m_recipe(std::move(recipe))
    , m_clock(std::move(clock))
    , m_limit(limit)
    , m_jobs(m_clock)
{}

ProgramCaptureTool::~ProgramCaptureTool() = default;

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
    return m_jobs.start<int>(
        this, [recipe = m_recipe, path, limit = m_limit](Runner& runner) { return recipe(runner, path, limit); },
        std::move(done));
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
