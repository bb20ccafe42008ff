#pragma once

#include "core/Async.h"
#include "history/HistoryEntry.h"

#include <QObject>
#include <QString>
#include <QThread>
#include <memory>

namespace quilvant {

class HistoryStore;
class Model;

// The translation history as the GUI thread sees it: every call returns at once and the file is worked on by a
// thread of its own, opened there at the first call (not at start-up). Completions come back on the GUI thread.
// A failure of the history is logged and never reaches a translation.
class History final : public QObject
{
    Q_OBJECT

public:
    explicit History(QString path, QObject* parent = nullptr);
    // Waits for the call in progress on the history's thread (one statement), drops the ones not yet begun.
    ~History() override;

    // Keeps every translation `model` completes while the "keepHistory" setting is on.
    void follow(const Model& model);

    void record(const CompletedTranslation& translation);
    // Newest first; see HistoryStore::search.
    Cancellation search(const QString& query, int limit, Completion<HistoryEntries> done);
    void remove(qint64 id);
    void clear();

Q_SIGNALS:
    // An entry was kept or removed, or all were cleared: shown lists are out of date.
    void changed();
    // The file could not be read as a history and was set aside: said once, in the interface language.
    void notice(const QString& message);

private:
    template <typename T>
    void post(std::function<Outcome<T>(HistoryStore&)> work, Completion<T> done, bool changes);

    QThread m_thread;
    QObject* m_worker; // lives on m_thread
    std::shared_ptr<HistoryStore> m_store;
};

} // namespace quilvant
