#include "platform/Autostart.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

namespace quilvant::Autostart {

namespace {

const QString fileName = QStringLiteral("quilvant.desktop");
// An entry is a few hundred bytes; anything far larger is not ours to parse.
constexpr qint64 maximumEntrySize = 64 * 1024;

QStringList systemEntries()
{
    QByteArray dirs = qgetenv("XDG_CONFIG_DIRS");
    if (dirs.isEmpty()) {
        dirs = "/etc/xdg";
    }
    QStringList found;
    for (const QString& dir : QString::fromLocal8Bit(dirs).split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        const QString candidate = dir + QStringLiteral("/autostart/") + fileName;
        if (QFileInfo(candidate).isFile()) {
            found.append(candidate);
        }
    }
    return found;
}

// Whether the entry in `file` asks to be started: the keys of its [Desktop Entry] group decide.
bool entryActive(const QString& file)
{
    QFile entry(file);
    if (!entry.open(QIODevice::ReadOnly)) {
        return false;
    }
    const QByteArray bytes = entry.read(maximumEntrySize);
    bool inMainGroup = false;
    bool active = true;
    for (const QByteArray& rawLine : bytes.split('\n')) {
        const QByteArray line = rawLine.trimmed();
        if (line.startsWith('[')) {
            inMainGroup = line == "[Desktop Entry]";
            continue;
        }
        const qsizetype equals = line.indexOf('=');
        if (!inMainGroup || line.startsWith('#') || equals < 0) {
            continue;
        }
        const QByteArray key = line.left(equals).trimmed();
        const QByteArray value = line.mid(equals + 1).trimmed();
        if (key == "Hidden" && value == "true") {
            active = false;
        } else if (key == "X-GNOME-Autostart-enabled" && value == "false") {
            active = false;
        }
    }
    return active;
}

Outcome<void> writeEntry(const QString& contents)
{
    const QString target = path();
    if (!QDir().mkpath(QFileInfo(target).path())) {
        return Error::system(QStringLiteral("Cannot create the folder %1").arg(QFileInfo(target).path()));
    }
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly)) {
        return Error::system(QStringLiteral("Cannot write %1: %2").arg(target, file.errorString()));
    }
    const QByteArray bytes = contents.toUtf8();
    if (file.write(bytes) != bytes.size() || !file.commit()) {
        return Error::system(QStringLiteral("Cannot write %1: %2").arg(target, file.errorString()));
    }
    return {};
}

} // namespace

QString path()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + QStringLiteral("/autostart/") +
           fileName;
}

bool isEnabled()
{
    if (QFileInfo::exists(path())) {
        return entryActive(path());
    }
    const QStringList system = systemEntries();
    return !system.isEmpty() && entryActive(system.first());
}

QString execLine(const QString& executable)
{
    // Inside quotes, the format reserves ", `, $ and \; the value itself then escapes every \ once more, and
    // a literal % is written %%.
    QString quoted;
    for (const QChar c : executable) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') || c == QLatin1Char('\\')) {
            quoted += QLatin1Char('\\');
        }
        quoted += c;
    }
    quoted.replace(QStringLiteral("\\"), QStringLiteral("\\\\"));
    quoted.replace(QStringLiteral("%"), QStringLiteral("%%"));
    return QLatin1Char('"') + quoted + QLatin1Char('"');
}

Outcome<void> setEnabled(bool enabled, const QString& executable)
{
    if (enabled) {
        if (executable.isEmpty() || executable.contains(QLatin1Char('\n')) || executable.contains(QLatin1Char('\r'))) {
            return Error::system(QStringLiteral("Cannot start at login: the program's path is not usable"));
        }
        return writeEntry(QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Quilvant\n"
                                         "Comment=Translate text on the screen\n"
                                         "Exec=%1\n"
                                         "Icon=" QUILVANT_ICON_NAME "\n"
                                         "Terminal=false\n"
                                         "X-GNOME-Autostart-enabled=true\n")
                              .arg(execLine(executable)));
    }
    if (!systemEntries().isEmpty()) {
        // Removing our file would let the system-wide entry start us again: hide it instead.
        return writeEntry(QStringLiteral("[Desktop Entry]\nType=Application\nName=Quilvant\nHidden=true\n"));
    }
    QFile file(path());
    if (file.exists() && !file.remove()) {
        return Error::system(QStringLiteral("Cannot remove %1: %2").arg(path(), file.errorString()));
    }
    return {};
}

} // namespace quilvant::Autostart
