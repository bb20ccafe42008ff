#pragma once

#include <QImage>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QThread>
#include <memory>

namespace quilvant::test {

class StatusNotifierWatcher;

// A StatusNotifier watcher and host of its own on the session bus, as a desktop panel runs them: it takes the
// watcher's name (org.kde.StatusNotifierWatcher), registers itself as a host, and for every item that registers
// reads what a panel shows of it: the icon's name and pixmaps (again after each NewIcon) and the labels of its
// com.canonical.dbusmenu menu. It runs on a thread and a bus connection of its own, so that the program under
// test, on the main thread, answers it through the bus daemon.
class StatusNotifierHost
{
public:
    struct Item
    {
        QString service;
        QString iconName;
        QList<QImage> pixmaps;
        QStringList menu; // top-level labels, "-" for a separator
        int reads = 0;    // how often the icon was read (once, and once per NewIcon)
        QString error;    // the last read's failure
    };

    StatusNotifierHost();
    ~StatusNotifierHost();
    StatusNotifierHost(const StatusNotifierHost&) = delete;
    StatusNotifierHost& operator=(const StatusNotifierHost&) = delete;

    // Empty once the names are taken.
    QString error() const { return m_error; }
    // The items registered so far, as last read.
    QList<Item> items() const;

private:
    friend class StatusNotifierWatcher;
    void store(const Item& item);

    QThread m_thread;
    StatusNotifierWatcher* m_watcher = nullptr; // lives on m_thread
    QString m_error;
    mutable QMutex m_mutex;
    QList<Item> m_items;
};

} // namespace quilvant::test
