#include "engines/codex/CodexCache.h"

#include "core/Clock.h"

namespace quilvant {

QString CodexCache::key(const QString& path, const QString& model, const QString& language, const QString& text)
{
    const QChar nul(0);
    return path + nul + model + nul + language + nul + text;
}

std::optional<QString> CodexCache::lookup(const QString& key) const
{
    const auto entry = m_cache.find(key);
    const double now = m_now ? m_now() : Clock::uptime();
    if (entry == m_cache.end() || now - entry->second.date >= lifetimeSeconds) {
        return std::nullopt;
    }
    return entry->second.text;
}

void CodexCache::store(const QString& key, const QString& text)
{
    m_cache[key] = CacheEntry{text, m_now ? m_now() : Clock::uptime()};
    m_cacheOrder.removeAll(key);
    m_cacheOrder.append(key);
    while (m_cacheOrder.size() > capacity) {
        m_cache.erase(m_cacheOrder.takeFirst());
    }
}

} // namespace quilvant
