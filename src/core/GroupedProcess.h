#pragma once

#include <QProcess>
#include <chrono>

namespace quilvant {

// A child process that cannot outlive the program: it leads a process group of its own, the kernel kills it when
// the thread that started it ends (parent-death signal), stopGroup() and the destructor end the whole group,
// grandchildren included, and the program's signal handlers (ChildGroups) end it when the program is stopped.
class GroupedProcess final : public QProcess
{
public:
    explicit GroupedProcess(QObject* parent = nullptr);
    ~GroupedProcess() override;
    GroupedProcess(const GroupedProcess&) = delete;
    GroupedProcess& operator=(const GroupedProcess&) = delete;

    // QProcess::start(), and the new group is tracked from then on.
    void startGroup();

    // The group's id (the first child's process id); 0 before startGroup().
    pid_t group() const { return m_group; }

    // Disconnects every receiver, asks every process of the group to stop (SIGTERM), kills what is left of it
    // after `grace`, and then deletes the object. While the application is closing down there is no event loop
    // to wait in, so everything is killed at once.
    void stopGroup(std::chrono::milliseconds grace);

private:
    void signalGroup(int number) const;
    bool groupGone() const;

    pid_t m_group = 0;
};

} // namespace quilvant
