#pragma once

#include <QDBusConnection>
#include <QObject>
#include <optional>

class QDBusVariant;
class QPalette;

namespace quilvant {

// Whether the desktop prefers a dark look, followed live. The desktop portal's `color-scheme` setting
// (namespace org.freedesktop.appearance) decides when it states a preference; otherwise, and until the portal
// has answered, the lightness of the application palette's window colour does. A portal that is not running
// is not started for this.
class ColorScheme final : public QObject
{
    Q_OBJECT

public:
    // The portal is asked on `bus` without waiting; the answer and later changes arrive as signals.
    explicit ColorScheme(const QDBusConnection& bus = QDBusConnection::sessionBus(), QObject* parent = nullptr);

    // The process-wide instance on the session bus, created on first use (GUI thread only).
    static ColorScheme* instance();

    bool dark() const;

    // A palette whose window colour is darker than mid-grey.
    static bool paletteIsDark(const QPalette& palette);

Q_SIGNALS:
    void changed();

private Q_SLOTS:
    void settingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void setPreference(std::optional<bool> dark);
    void notifyIfChanged(bool before);

    // From the portal: true = dark, false = light, nullopt = no preference (or no portal).
    std::optional<bool> m_preference;
    bool m_announced = false;
};

} // namespace quilvant
