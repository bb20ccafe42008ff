#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <optional>

namespace quilvant {

// The agent engine's finished translations, in memory: an entry answers for 1800 seconds from its store, at most
// 32 are kept, and the oldest store goes first (a hit neither refreshes nor reorders an entry).
class CodexCache
{
public:
    static constexpr double lifetimeSeconds = 1800;
    static constexpr int capacity = 32;

    // The executable path, model, language and text, exactly, joined by NUL characters.
    static QString key(const QString& path, const QString& model, const QString& language, const QString& text);

    std::optional<QString> lookup(const QString& key) const;
    void store(const QString& key, const QString& text);

    // Seconds on the clock entries are dated with (the monotonic clock unless a test sets its own).
    void setClock(std::function<double()> now) { m_now = std::move(now); }

private:
    struct CacheEntry
    {
        QString text;
        double date = 0;
    };

    std::map<QString, CacheEntry> m_cache;
    QStringList m_cacheOrder; // oldest store first, each key once
    std::function<double()> m_now;
};

} // namespace quilvant
