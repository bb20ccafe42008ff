#include "foundation/Settings.h"

#include "foundation/EngineKind.h"
#include "foundation/L.h"
#include "foundation/SettingsNotifier.h"

#include <QFile>
#include <QHash>
#include <QSettings>
#include <QStandardPaths>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

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

Outcome<void> readable()
{
    const QString path = filePath();
    const auto unreadable = [&path](const QString& reason) {
        return AppFailure{L::t(QStringLiteral("无法读取设置文件 %1：%2")).arg(path, reason)};
    };
    // Non-blocking: a FIFO standing there must not hold the program up.
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            return {}; // nothing stored yet: every reader has its default
        }
        return unreadable(QString::fromLocal8Bit(std::strerror(errno)));
    }
    struct stat info
    {
    };
    const bool regular = ::fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    ::close(fd);
    if (!regular) {
        return unreadable(L::t(QStringLiteral("不是普通文件")));
    }
    if (store().status() != QSettings::NoError) {
        return unreadable(L::t(QStringLiteral("格式有误")));
    }
    return {};
}

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
    // INI files keep booleans as text: "true" as this program writes it, and what other writers of the format
    // use ("1", "TRUE", "yes", "on").
    if (stored->typeId() == QMetaType::QString) {
        const QString text = stored->toString().trimmed();
        for (const char* yes : {"true", "1", "yes", "on"}) {
            if (text.compare(QLatin1String(yes), Qt::CaseInsensitive) == 0) {
                return true;
            }
        }
        return false;
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
    return string(Key::engine, Engines::storedName(EngineKind::Hosted));
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
    const QString letter = string(Key::shortcut);
    return letter == QLatin1String("T") || letter == QLatin1String("S") ? letter : QStringLiteral("D");
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
bool keepHistory()
{
    return boolean(Key::keepHistory, true);
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
