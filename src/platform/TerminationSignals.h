#pragma once

#include <QObject>

class QSocketNotifier;

namespace quilvant {

// Turns SIGTERM, SIGINT and SIGHUP into a signal on the GUI thread, so that a desktop program asked to end
// from outside cleans up (children ended, temporary files deleted) instead of dying where it stands.
// One instance per process.
class TerminationSignals final : public QObject
{
    Q_OBJECT

public:
    explicit TerminationSignals(QObject* parent = nullptr);
    ~TerminationSignals() override;

Q_SIGNALS:
    void received(int signal);

private:
    QSocketNotifier* m_notifier = nullptr;
};

} // namespace quilvant
