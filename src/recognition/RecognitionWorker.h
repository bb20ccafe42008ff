#pragma once

#include "core/Async.h"

#include <QObject>
#include <QString>
#include <QStringList>
#include <QThreadPool>

namespace quilvant {

// Runs recognitions away from the GUI thread on one long-lived thread, whose engines therefore stay loaded
// between captures, and hands each result back to the thread that asked, in a queued call. One thread is
// enough: captures come one at a time, and a cancelled recognition stops early.
class RecognitionWorker : public QObject
{
    Q_OBJECT

public:
    explicit RecognitionWorker(QObject* parent = nullptr);
    // Drops queued work and waits for the running recognition, so that no engine outlives the process's end.
    ~RecognitionWorker() override;

    // The process-wide worker, created on first use and owned by the application object.
    static RecognitionWorker& shared();

    // Recognises `path` (Translation::recognizeFile) and ends `done` on the calling thread.
    Cancellation recognize(const QString& path, Completion<QString> done);

    // Loads the engines for `codes` (Translation::prepare) on the worker's thread, one language per task; a
    // recognition waiting when a task would start goes first.
    void warmUp(const QStringList& codes);

private:
    QThreadPool m_pool;
};

} // namespace quilvant
