#pragma once

#include <QObject>
#include <QString>

namespace quilvant {

// Tells in-process observers which setting was just written, removed or overridden, so that open windows follow
// the settings window at once. Changes made to the file by another process are not seen.
class SettingsNotifier final : public QObject
{
    Q_OBJECT

public:
    static SettingsNotifier* instance();

Q_SIGNALS:
    void changed(const QString& key);

private:
    SettingsNotifier() = default;
};

} // namespace quilvant
