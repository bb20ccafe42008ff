#pragma once

#include "platform/ProgramCaptureTool.h"

#include <memory>

namespace quilvant::test {

// Stands for a program that cannot be started.
inline const QString launchFailure = QStringLiteral("<launch failure>");

// A capture tool that runs `script` in sh with the capture's path as $1 (or, for launchFailure, a program
// that does not exist).
inline std::unique_ptr<CaptureTool> shellTool(const QString& script,
                                              std::shared_ptr<Runner::Clock> clock = Runner::realClock())
{
    return std::make_unique<ProgramCaptureTool>(
        QStringLiteral("test"), QStringList{QStringLiteral("sh")},
        [script](Runner& runner, const QString& path, std::chrono::milliseconds limit) -> Outcome<int> {
            const Outcome<Runner::Result> result =
                script == launchFailure ? runner.run(QStringLiteral("quilvant-no-such-tool"), {path}, limit)
                                        : runner.run(QStringLiteral("sh"),
                                                     {QStringLiteral("-c"), script, QStringLiteral("sh"), path}, limit);
            if (!result) {
                return result.error();
            }
            return result.value().status;
        },
        std::move(clock), ProgramCaptureTool::timeLimit);
}

} // namespace quilvant::test
