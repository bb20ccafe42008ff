#include "support/HeadlessCompositor.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTest>
#include <unistd.h>

using namespace Qt::StringLiterals;

namespace quilvant::test {

namespace {

QString findSocket(const QString& runtime)
{
    const QStringList sockets = QDir(runtime).entryList({u"wayland-?"_s}, QDir::System);
    return sockets.isEmpty() ? QString() : runtime + u'/' + sockets.constFirst();
}

} // namespace

HeadlessCompositor::~HeadlessCompositor()
{
    stop();
}

void HeadlessCompositor::stop()
{
    for (QProcess* process : {&m_background, &m_sway}) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished(5000);
        }
    }
}

Outcome<QString> HeadlessCompositor::start()
{
    const QString sway = QStandardPaths::findExecutable(u"sway"_s);
    if (sway.isEmpty()) {
        return Error::system(u"sway is not installed"_s);
    }
    QFile::setPermissions(m_dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                            QFileDevice::ReadOther | QFileDevice::ExeOther);
    const QString runtime = m_dir.filePath(u"runtime"_s);
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    const QString config = m_dir.filePath(u"config"_s);
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly) ||
        file.write(u"output HEADLESS-1 resolution %1x%2\n"_s.arg(size.width()).arg(size.height()).toUtf8()) < 0) {
        return Error::system(u"cannot write the compositor's configuration"_s);
    }
    file.close();

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(u"XDG_RUNTIME_DIR"_s, runtime);
    environment.insert(u"HOME"_s, m_dir.path());
    environment.insert(u"WLR_BACKENDS"_s, u"headless"_s);
    environment.insert(u"WLR_RENDERER"_s, u"pixman"_s);
    environment.insert(u"WLR_LIBINPUT_NO_DEVICES"_s, u"1"_s);
    environment.remove(u"DISPLAY"_s);
    environment.remove(u"WAYLAND_DISPLAY"_s);
    m_sway.setProcessEnvironment(environment);
    m_sway.setProcessChannelMode(QProcess::MergedChannels);
    if (::geteuid() == 0) {
        if (::chown(runtime.toLocal8Bit().constData(), 65534, 65534) != 0) {
            return Error::system(u"cannot hand the runtime directory to nobody"_s);
        }
        m_sway.start(u"setpriv"_s,
                     {u"--reuid=65534"_s, u"--regid=65534"_s, u"--clear-groups"_s, u"--"_s, sway, u"-c"_s, config});
    } else {
        m_sway.start(sway, {u"-c"_s, config});
    }
    QString socket;
    QElapsedTimer waited;
    waited.start();
    while ((socket = findSocket(runtime)).isEmpty() && m_sway.state() != QProcess::NotRunning &&
           waited.elapsed() < 20000) {
        QTest::qWait(50);
    }
    if (socket.isEmpty()) {
        return Error::system(u"sway did not start: "_s + QString::fromUtf8(m_sway.readAll()).trimmed());
    }
    return socket;
}

bool HeadlessCompositor::showBackground(const QString& image)
{
    if (m_background.state() != QProcess::NotRunning) {
        m_background.kill();
        m_background.waitForFinished(5000);
    }
    m_background.start(u"swaybg"_s, {u"-i"_s, image, u"-m"_s, u"center"_s});
    return m_background.waitForStarted();
}

} // namespace quilvant::test
