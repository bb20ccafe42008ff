#include "platform/ColorScheme.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QEvent>
#include <QGuiApplication>
#include <QPalette>

namespace quilvant {

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settingsInterface = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearanceGroup = QStringLiteral("org.freedesktop.appearance");
const QString colorSchemeKey = QStringLiteral("color-scheme");

// color-scheme: 0 no preference, 1 prefer dark, 2 prefer light. Read() of older portals wraps the value in one
// variant more than SettingChanged does, so unwrap as many as there are.
std::optional<bool> preferenceFrom(QVariant value)
{
    for (int depth = 0;
         depth < 4 && value.canConvert<QDBusVariant>() && value.metaType() == QMetaType::fromType<QDBusVariant>();
         ++depth) {
        value = value.value<QDBusVariant>().variant();
    }
    bool ok = false;
    const uint scheme = value.toUInt(&ok);
    if (!ok) {
        return std::nullopt;
    }
    if (scheme == 1) {
        return true;
    }
    if (scheme == 2) {
        return false;
    }
    return std::nullopt;
}

} // namespace

ColorScheme::ColorScheme(const QDBusConnection& bus, QObject* parent)
    : QObject(parent)
{
    if (QCoreApplication* application = QCoreApplication::instance()) {
        application->installEventFilter(this);
    }
    if (!bus.isConnected()) {
        return;
    }
    QDBusConnection connection = bus;
    // The bus finds the slot's argument types by name: the variant's must be known before anything else of the
    // program happens to have used it.
    qRegisterMetaType<QDBusVariant>();
    connection.connect(portalService, portalPath, settingsInterface, QStringLiteral("SettingChanged"), this,
                       SLOT(settingChanged(QString, QString, QDBusVariant)));
    QDBusMessage read =
        QDBusMessage::createMethodCall(portalService, portalPath, settingsInterface, QStringLiteral("Read"));
    read << appearanceGroup << colorSchemeKey;
    // A desktop that offers the portal runs it already; starting one here only for a colour is not worth it
    // (and on a test bus it would take the name that a stand-in portal wants).
    read.setAutoStartService(false);
    auto* watcher = new QDBusPendingCallWatcher(connection.asyncCall(read), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *call;
        // A change announced while the question was on its way is newer than this answer.
        if (reply.isValid() && !m_announced) {
            setPreference(preferenceFrom(QVariant::fromValue(reply.value())));
        }
    });
}

ColorScheme* ColorScheme::instance()
{
    static ColorScheme* shared = new ColorScheme(QDBusConnection::sessionBus(), QCoreApplication::instance());
    return shared;
}

bool ColorScheme::dark() const
{
    if (m_preference) {
        return *m_preference;
    }
    return paletteIsDark(QGuiApplication::palette());
}

bool ColorScheme::paletteIsDark(const QPalette& palette)
{
    return palette.color(QPalette::Window).lightnessF() < 0.5;
}

void ColorScheme::settingChanged(const QString& group, const QString& key, const QDBusVariant& value)
{
    if (group == appearanceGroup && key == colorSchemeKey) {
        m_announced = true;
        setPreference(preferenceFrom(value.variant()));
    }
}

bool ColorScheme::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::ApplicationPaletteChange && watched == QCoreApplication::instance() && !m_preference) {
        Q_EMIT changed();
    }
    return QObject::eventFilter(watched, event);
}

void ColorScheme::setPreference(std::optional<bool> dark)
{
    const bool before = this->dark();
    m_preference = dark;
    notifyIfChanged(before);
}

void ColorScheme::notifyIfChanged(bool before)
{
    if (dark() != before) {
        Q_EMIT changed();
    }
}

} // namespace quilvant
