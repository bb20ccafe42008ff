#pragma once

#include <QHash>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace quilvant {

// An engine's finished translations, in memory: an entry answers for 1800 seconds from its store, at most 32 are
// kept, and the oldest store goes first (a hit neither refreshes nor reorders an entry). Each engine builds its
// own keys.
class TranslationCache
{
public:
    static constexpr double lifetimeSeconds = 1800;
    static constexpr int capacity = 32;

    // `now` gives seconds on the clock entries are dated with; Clock::uptime when empty.
    explicit TranslationCache(std::function<double()> now = {});

    // The text stored under `key` less than the lifetime ago.
    std::optional<QString> lookup(const QString& key) const;
    void store(const QString& key, const QString& text);
    // Drops every entry that has outlived the lifetime.
    void purgeExpired();

    int size() const { return static_cast<int>(m_entries.size()); }
    void setClock(std::function<double()> now) { m_now = std::move(now); }

private:
    struct Entry
    {
        QString text;
        double date = 0;
    };

    double now() const;

    QHash<QString, Entry> m_entries;
    QStringList m_order; // oldest store first, each key once
    std::function<double()> m_now;
};

} // namespace quilvant
