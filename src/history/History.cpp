#include "history/History.h"

#include "core/Diagnostics.h"
#include "foundation/L.h"
#include "foundation/Settings.h"
#include "history/HistoryStore.h"
#include "session/Model.h"

#include <QPointer>

namespace quilvant {

History::History(QString path, QObject* parent)
    : QObject(parent)
    , m_worker(new QObject())
    , m_store(std::make_shared<HistoryStore>(std::move(path)))
{
    m_thread.setObjectName(QStringLiteral("history"));
    m_worker->moveToThread(&m_thread);
    connect(&m_thread, &QThread::finished, m_worker, &QObject::deleteLater);
    m_thread.start(QThread::LowPriority);
}

History::~History()
{
    // The database connection belongs to the history's thread and is closed there.
    QMetaObject::invokeMethod(
        m_worker, [store = std::move(m_store)]() mutable { store.reset(); }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
}

void History::follow(const Model& model)
{
    connect(&model, &Model::translationCompleted, this, [this](const CompletedTranslation& translation) {
        if (Settings::keepHistory()) {
            record(translation);
        }
    });
}

template <typename T>
void History::post(std::function<Outcome<T>(HistoryStore&)> work, Completion<T> done, bool changes)
{
    QPointer<History> self(this);
    QMetaObject::invokeMethod(
        m_worker,
        [self, store = m_store, work = std::move(work), done = std::move(done), changes]() mutable {
            Outcome<T> outcome = work(*store);
            const std::optional<QString> setAside = store->takeSetAside();
            if (setAside) {
                Diagnostics::record(QStringLiteral("history.set-aside"));
            }
            if (!outcome) {
                Diagnostics::record(QStringLiteral("history.failed reason=") + outcome.error().description());
            }
            if (self.isNull()) {
                return;
            }
            QMetaObject::invokeMethod(
                self.data(),
                [self, outcome = std::move(outcome), done = std::move(done), setAside, changes]() mutable {
                    if (!self) {
                        return;
                    }
                    if (setAside) {
                        Q_EMIT self->notice(
                            L::t(QStringLiteral("翻译记录文件无法读取，已移到 %1，新的记录已开始。")).arg(*setAside));
                    }
                    const bool changed = changes && outcome.ok();
                    if (done) {
                        done(std::move(outcome));
                    }
                    if (changed && self) {
                        Q_EMIT self->changed();
                    }
                },
                Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
}

void History::record(const CompletedTranslation& translation)
{
    post<qint64>([translation](HistoryStore& store) { return store.add(translation); }, {}, true);
}

Cancellation History::search(const QString& query, int limit, Completion<HistoryEntries> done)
{
    auto dropped = std::make_shared<bool>(false);
    post<HistoryEntries>([query, limit](HistoryStore& store) { return store.search(query, limit); },
                         [dropped, done = std::move(done)](Outcome<HistoryEntries> outcome) {
                             done(*dropped ? Outcome<HistoryEntries>(Error::cancelled()) : std::move(outcome));
                         },
                         false);
    return Cancellation([dropped] { *dropped = true; });
}

void History::remove(qint64 id)
{
    post<bool>(
        [id](HistoryStore& store) -> Outcome<bool> {
            if (const Outcome<void> removed = store.remove(id); !removed) {
                return removed.error();
            }
            return true;
        },
        {}, true);
}

void History::clear()
{
    Diagnostics::record(QStringLiteral("history.cleared"));
    post<bool>(
        [](HistoryStore& store) -> Outcome<bool> {
            if (const Outcome<void> cleared = store.clear(); !cleared) {
                return cleared.error();
            }
            return true;
        },
        {}, true);
}

} // namespace quilvant
