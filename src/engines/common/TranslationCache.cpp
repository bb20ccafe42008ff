#include "engines/common/TranslationCache.h"

#include "core/Clock.h"

namespace quilvant {

TranslationCache::TranslationCache(std::function<double()> now)
    : m_now(std::move(now))
{}

double TranslationCache::now() const
{
    return m_now ? m_now() : Clock::uptime();
}

std::optional<QString> TranslationCache::lookup(const QString& key) const
{
    const auto entry = m_entries.constFind(key);
    if (entry == m_entries.constEnd() || now() - entry->date >= lifetimeSeconds) {
        return std::nullopt;
    }
    return entry->text;
}

void TranslationCache::store(const QString& key, const QString& text)
{
    m_entries.insert(key, Entry{text, now()});
    m_order.removeAll(key);
    m_order.append(key);
    while (m_order.size() > capacity) {
        m_entries.remove(m_order.takeFirst());
    }
}

void TranslationCache::purgeExpired()
{
    const double current = now();
    m_entries.removeIf([current](const auto& entry) { return current - entry.value().date >= lifetimeSeconds; });
    m_order.removeIf([this](const QString& key) { return !m_entries.contains(key); });
}

} // namespace quilvant
