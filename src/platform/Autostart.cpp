#include "platform/Autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QSettings>
#include <QStandardPaths>

namespace quilvant::Autostart {

QString entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/autostart/quilvant.desktop");
}

bool enabled()
{
    const QString path = entryPath();
    if (!QFileInfo(path).isFile()) {
        return false;
    }
    const QSettings entry(path, QSettings::IniFormat);
    return !entry.value(QStringLiteral("Desktop Entry/Hidden")).toBool();
}

QString execValue(const QString& executable)
{
    QString quoted;
    for (const QChar c : executable) {
        if (c == u'\\') {
            quoted += QStringLiteral("\\\\\\\\"); // escaped in the quotes, then as a string value
        } else if (c == u'"' || c == u'`' || c == u'$') {
            quoted += QStringLiteral("\\\\") + c;
        } else {
            quoted += c == u'%' ? QStringLiteral("%%") : QString(c);
        }
    }
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

Outcome<void> setEnabled(bool on, const QString& executable)
{
    const QString path = entryPath();
    if (!on) {
        if (QFile::exists(path) && !QFile::remove(path)) {
            return Error::system(QStringLiteral("Cannot remove %1").arg(path));
        }
        return {};
    }
    if (!QDir().mkpath(QFileInfo(path).path())) {
        return Error::system(QStringLiteral("Cannot create %1").arg(QFileInfo(path).path()));
    }
    const QString text = QStringLiteral("[Desktop Entry]\n"
                                        "Type=Application\n"
                                        "Name=Quilvant\n"
                                        "Comment=Translate text on the screen\n"
                                        "Exec=%1\n"
                                        "Terminal=false\n"
                                        "X-GNOME-Autostart-enabled=true\n")
                             .arg(execValue(executable));
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(text.toUtf8()) < 0 || !file.commit()) {
        return Error::system(QStringLiteral("Cannot write %1: %2").arg(path, file.errorString()));
    }
    return {};
}

} // namespace quilvant::Autostart
