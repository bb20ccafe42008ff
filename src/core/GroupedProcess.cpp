#include "core/GroupedProcess.h"

#include "core/ChildGroups.h"
#include "core/ChildProcess.h"

#include <QCoreApplication>
#include <QTimer>
#include <cerrno>
#include <csignal>
#include <unistd.h>

namespace quilvant {

GroupedProcess::GroupedProcess(QObject* parent)
    : QProcess(parent)
{
    setChildProcessModifier(ChildProcess::modifier());
}

GroupedProcess::~GroupedProcess()
{
    QObject::disconnect(this, nullptr, nullptr, nullptr);
    signalGroup(SIGKILL);
    if (state() != NotRunning) {
        kill();
        waitForFinished(1000); // a killed child ends at once; reaping it here leaves no zombie behind
    }
    ChildGroups::untrack(m_group);
}

void GroupedProcess::startGroup()
{
    start();
    m_group = static_cast<pid_t>(processId());
    ChildGroups::track(m_group);
}

void GroupedProcess::signalGroup(int number) const
{
    if (m_group <= 0) {
        return;
    }
    ::kill(-m_group, number);
    // The child may not have made its group yet; until it is reaped its process id is still ours to signal.
    if (state() != NotRunning) {
        ::kill(m_group, number);
    }
}

bool GroupedProcess::groupGone() const
{
    return m_group <= 0 || (::kill(-m_group, 0) != 0 && errno == ESRCH);
}

void GroupedProcess::stopGroup(std::chrono::milliseconds grace)
{
    QObject::disconnect(this, nullptr, nullptr, nullptr);
    if (QCoreApplication::instance() == nullptr || QCoreApplication::closingDown()) {
        // No event loop will run a timer or a deferred delete any more.
        delete this;
        return;
    }
    signalGroup(SIGTERM);
    if (state() == NotRunning && groupGone()) {
        deleteLater();
        return;
    }
    connect(this, &QProcess::finished, this, [this] {
        if (groupGone()) {
            deleteLater();
        }
    });
    QTimer::singleShot(grace, this, [this] {
        signalGroup(SIGKILL);
        deleteLater();
    });
}

} // namespace quilvant
