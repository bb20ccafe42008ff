#pragma once

#include "core/Outcome.h"

#include <QObject>
#include <QString>

namespace quilvant {

// One running desktop program per session: the first takes a well-known name on the session bus and serves
// Capture, TranslateSelection, ShowCard, History and Settings there; later starts hand their request to it and end.
class InstanceBus final : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "local.kestu.Quilvant")

public:
    static inline const QString serviceName = QStringLiteral("local.kestu.Quilvant");
    static inline const QString objectPath = QStringLiteral("/local/kestu/Quilvant");

    enum class Claim
    {
        Owner,       // this process serves the name now
        Taken,       // another instance has it
        Unavailable, // no session bus: run without one-instance
    };

    explicit InstanceBus(QObject* parent = nullptr);
    ~InstanceBus() override;

    // Serves the name when no other instance does.
    Claim claim();

    // Asks the running instance to run `method` (one of the slots below) and waits for its answer,
    // for a few seconds at most (for command-line starts, before any window exists).
    static Outcome<void> ask(const QString& method);

public Q_SLOTS:
    void Capture() { Q_EMIT captureRequested(); }
    void ShowCard() { Q_EMIT showCardRequested(); }
    void Settings() { Q_EMIT settingsRequested(); }
    void TranslateSelection() { Q_EMIT translateSelectionRequested(); }
    void History() { Q_EMIT historyRequested(); }

Q_SIGNALS:
    void captureRequested();
    void showCardRequested();
    void settingsRequested();
    void translateSelectionRequested();
    void historyRequested();

private:
    bool m_owner = false;
};

} // namespace quilvant
