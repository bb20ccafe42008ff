#include "recognition/RecognitionWorker.h"

#include "recognition/Translation.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QMutex>
#include <QPointer>
#include <atomic>
#include <memory>

namespace quilvant {

namespace {

// Recognitions go ahead of warming up, which the pool starts only when no recognition waits.
constexpr int kRecognitionPriority = 1;
constexpr int kWarmUpPriority = 0;

// One request, shared by the caller's handle, the worker and the delivery. `stop` is read by the worker
// thread; everything else belongs to the calling thread.
struct Request
{
    std::atomic<bool> stop{false};
    bool ended = false;
    Completion<QString> done;
    QObject* relay = nullptr; // lives on the calling thread; carries the queued calls there

    void finish(Outcome<QString> outcome)
    {
        if (ended) {
            return;
        }
        ended = true;
        Completion<QString> callback = std::move(done);
        done = nullptr;
        callback(std::move(outcome));
    }
};

} // namespace

RecognitionWorker::RecognitionWorker(QObject* parent)
    : QObject(parent)
{
    m_pool.setMaxThreadCount(1);
    m_pool.setExpiryTimeout(-1); // the thread, and the engines it holds, live as long as the worker
}

RecognitionWorker::~RecognitionWorker()
{
    m_pool.clear();
    m_pool.waitForDone();
}

RecognitionWorker& RecognitionWorker::shared()
{
    static QMutex lock;
    static QPointer<RecognitionWorker> instance;
    const QMutexLocker locker(&lock);
    if (instance.isNull()) {
        auto* worker = new RecognitionWorker;
        // Owned by the application object whichever thread asks first, so that it is gone before the
        // application is.
        if (QCoreApplication* application = QCoreApplication::instance()) {
            worker->moveToThread(application->thread());
            worker->setParent(application);
        }
        instance = worker;
    }
    return *instance;
}

Cancellation RecognitionWorker::recognize(const QString& path, Completion<QString> done)
{
    auto request = std::make_shared<Request>();
    request->done = std::move(done);
    request->relay = new QObject; // created here, so it belongs to the calling thread

    m_pool.start(
        [request, path] {
            Outcome<QString> outcome =
                request->stop ? Outcome<QString>(Error::cancelled()) : Translation::recognizeFile(path, &request->stop);
            QMetaObject::invokeMethod(
                request->relay,
                [request, outcome = std::move(outcome)]() mutable {
                    request->relay->deleteLater();
                    // A recognition that ran to its end after cancel() still ends as cancelled.
                    request->finish(request->stop ? Outcome<QString>(Error::cancelled()) : std::move(outcome));
                },
                Qt::QueuedConnection);
        },
        kRecognitionPriority);

    return Cancellation([request] {
        if (request->ended) {
            return;
        }
        request->stop = true;
        // Ended from the event loop rather than inside cancel(); the relay is still alive, since the worker's
        // own delivery (which deletes it) has not run yet.
        QMetaObject::invokeMethod(
            request->relay, [request] { request->finish(Error::cancelled()); }, Qt::QueuedConnection);
    });
}

void RecognitionWorker::warmUp(const QStringList& codes)
{
    for (const QString& code : codes) {
        // The outcome is not lost: an engine that does not load fails the recognition that needs it, with the
        // same description.
        m_pool.start([code] { static_cast<void>(Translation::prepare({code})); }, kWarmUpPriority);
    }
}

} // namespace quilvant
