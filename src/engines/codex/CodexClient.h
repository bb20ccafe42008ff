#pragma once

#include "core/Async.h"
#include "core/Outcome.h"
#include "core/Scheduler.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>

namespace quilvant {

class CodexConnection;

namespace Translation {

// Where the agent CLI is looked for: the codexPath setting exactly as stored, then the usual install locations.
QStringList codexCandidates();

// The first candidate that names an executable file, made absolute against the current directory, so that a
// relative setting means the same file when it is checked and when it is started. When none qualifies: the
// not-found message, or, when the setting names a folder or a file that cannot be run, a message naming it.
Outcome<QString> codexPath();

} // namespace Translation

// The agent engine: drives the agent CLI in its app-server mode as a child process (one ephemeral thread and
// one turn per translation) and answers repeated requests from memory. Confined to the GUI thread.
class CodexClient : public QObject
{
    Q_OBJECT

public:
    // Fixed limits of the engine; tests let the time pass with setScheduler().
    static constexpr std::chrono::milliseconds requestLimit{15'000};
    static constexpr std::chrono::milliseconds turnLimit{60'000};
    static constexpr double cacheLifetimeSeconds = 1800;
    static constexpr int cacheCapacity = 32;

    // Without a path override the executable is located afresh (Translation::codexPath) at each use.
    explicit CodexClient(std::optional<QString> pathOverride = std::nullopt, QObject* parent = nullptr);
    ~CodexClient() override;

    // The process-wide client (no path override), created on first use on the GUI thread.
    static CodexClient& shared();

    // Ends once a child is running and initialised for the current executable path. Callers share one
    // start-up; cancelling only ends this caller's wait.
    Cancellation ensureStarted(Completion<void> done);

    // Translates `text` into `language` (worded as the caller words it, e.g. "Simplified Chinese") with
    // `model` (empty: the app-server's default). `update` receives the whole visible text on every change.
    Cancellation translate(const QString& text, const QString& language, const QString& model, TextUpdate update,
                           Completion<QString> done);

    // Stops the child and fails every waiter, and the running turn, with `error`. The next use starts afresh.
    void reset(const Error& error);

    const std::optional<QString>& pathOverride() const;

    // Test seams: the clock of the time limits, and the clock the cache dates its entries with (seconds).
    void setScheduler(Scheduler scheduler);
    void setClock(std::function<double()> now);

private:
    class Private;
    std::unique_ptr<Private> m_d;
};

} // namespace quilvant
