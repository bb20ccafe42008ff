#pragma once

#include "core/Outcome.h"
#include "history/HistoryEntry.h"

#include <QString>
#include <optional>
#include <utility>

namespace quilvant {

// The history's SQLite file, with a full-text index that finds text inside words of any script (trigrams,
// so that Chinese, Japanese and Korean need no word breaks). Confined to the thread that opened it; every call
// blocks on the file, so that thread is never the GUI thread. A file that cannot be read as a history is set
// aside (renamed) and a new one started in its place.
class HistoryStore final
{
public:
    static constexpr int defaultLimit = 10000;
    // Queries shorter than a trigram cannot use the index: they are matched by scanning.
    static constexpr int indexedLength = 3;

    explicit HistoryStore(QString path, int limit = defaultLimit);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // $XDG_DATA_HOME/quilvant/history.sqlite
    static QString defaultPath();

    // Opens the file, creating it (mode 0600, its folder 0700). Opening again after success does nothing.
    Outcome<void> open();
    // Where a broken file was moved to by the last open(), once: taken by the caller that tells the person.
    std::optional<QString> takeSetAside() { return std::exchange(m_setAside, std::nullopt); }

    // Keeps `translation`, then removes the oldest entries beyond the limit. Returns the new entry's id.
    Outcome<qint64> add(const CompletedTranslation& translation);
    // Entries whose source or translation contains every white-space separated word of `query` (case-blind),
    // newest first; all entries for a blank query. At most `limit` entries (all for a negative limit).
    Outcome<HistoryEntries> search(const QString& query, int limit = -1);
    Outcome<void> remove(qint64 id);
    Outcome<void> clear();
    Outcome<qint64> count();

private:
    Outcome<void> openFile();
    Outcome<void> prepareSchema();
    Outcome<void> setAsideAndRestart(const QString& reason);
    void close();
    bool isOpen() const;

    QString m_path;
    int m_limit;
    QString m_connection;
    std::optional<QString> m_setAside;
    bool m_broken = false;  // the last open failed because the file is no usable history (not busy, not full)
    bool m_retried = false; // an add() runs again on a fresh file
};

} // namespace quilvant
