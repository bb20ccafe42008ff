#include "foundation/Settings.h"

#include "foundation/SettingsNotifier.h"

#include <QHash>
#include <QSettings>
#include <QStandardPaths>
#include <mutex>

namespace quilvant {

SettingsNotifier* SettingsNotifier::instance()
{
    static SettingsNotifier* shared = new SettingsNotifier;
    return shared;
}

} // namespace quilvant

namespace quilvant::Settings {

namespace {

struct Overrides
{
    std::mutex lock;
    QHash<QString, QVariant> values;
};

Overrides& overrides()
{
    static Overrides instance;
    return instance;
}

QSettings store()
{
    return QSettings(filePath(), QSettings::IniFormat);
}

void notify(const QString& key)
{
    Q_EMIT SettingsNotifier::instance()->changed(key);
}

} // namespace

QString filePath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/quilvant/quilvant.conf");
}

std::optional<QVariant> value(const QString& key)
{
    {
        Overrides& layer = overrides();
        const std::lock_guard guard(layer.lock);
        const auto it = layer.values.constFind(key);
        if (it != layer.values.cend()) {
            return *it;
        }
    }
    QSettings settings = store();
    if (!settings.contains(key)) {
        return std::nullopt;
    }
    return settings.value(key);
}

QString string(const QString& key, const QString& fallback)
{
    const auto stored = value(key);
    return stored ? stored->toString() : fallback;
}

bool boolean(const QString& key, bool fallback)
{
    const auto stored = value(key);
    if (!stored) {
        return fallback;
    }
    // INI files keep booleans as the text "true"/"false".
    if (stored->typeId() == QMetaType::QString) {
        return stored->toString().compare(QStringLiteral("true"), Qt::CaseInsensitive) == 0 ||
               stored->toString() == QStringLiteral("1");
    }
    return stored->toBool();
}

void setValue(const QString& key, const QVariant& value)
{
    QSettings settings = store();
    settings.setValue(key, value);
    settings.sync();
    notify(key);
}

void remove(const QString& key)
{
    QSettings settings = store();
    settings.remove(key);
    settings.sync();
    notify(key);
}

void setOverride(const QString& key, const QVariant& value)
{
    {
        Overrides& layer = overrides();
        const std::lock_guard guard(layer.lock);
        layer.values.insert(key, value);
    }
    notify(key);
}

void clearOverride(const QString& key)
{
    {
        Overrides& layer = overrides();
        const std::lock_guard guard(layer.lock);
        layer.values.remove(key);
    }
    notify(key);
}

void clearOverrides()
{
    QStringList keys;
    {
        Overrides& layer = overrides();
        const std::lock_guard guard(layer.lock);
        keys = layer.values.keys();
        layer.values.clear();
    }
    for (const QString& key : keys) {
        notify(key);
    }
}

QString engine()
{
    return string(Key::engine, QStringLiteral("Sorn"));
}
QString language()
{
    return string(Key::language, QStringLiteral("zh-Hans"));
}
QString uiLanguage()
{
    return string(Key::uiLanguage, QStringLiteral("system"));
}
QString shortcut()
{
    return string(Key::shortcut, QStringLiteral("D"));
}
QString codexPath()
{
    return string(Key::codexPath);
}
QString codexModel()
{
    return string(Key::codexModel);
}
QString endpoint()
{
    return string(Key::endpoint, defaultEndpoint);
}
QString minimaxModel()
{
    return string(Key::minimaxModel);
}
QString minimaxThinking()
{
    return string(Key::minimaxThinking, QStringLiteral("disabled"));
}
bool onboarded()
{
    return boolean(Key::onboarded, false);
}
QString serviceURL()
{
    return string(Key::serviceURL);
}
QString serviceWebsite()
{
    return string(Key::serviceWebsite);
}

std::optional<QString> translationPrivacyConsent()
{
    const auto stored = value(Key::translationPrivacyConsent);
    if (!stored) {
        return std::nullopt;
    }
    return stored->toString();
}

} // namespace quilvant::Settings
