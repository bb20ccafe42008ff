#include "support/BareBus.h"

#include "support/ChildProcess.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDeadlineTimer>
#include <QFile>
#include <QThread>

namespace quilvant::test {

namespace {

const QString secretsService = QStringLiteral("org.freedesktop.secrets");

QDBusConnection connectionTo(const QString& address)
{
    return QDBusConnection::connectToBus(address, QStringLiteral("bare-bus-") + address);
}

} // namespace

BareBus::BareBus()
{
    QFile config(m_dir.filePath(QStringLiteral("bus.conf")));
    config.open(QIODevice::WriteOnly);
    config.write(QStringLiteral("<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\""
                                " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
                                "<busconfig><type>session</type><listen>unix:dir=%1</listen>"
                                "<auth>EXTERNAL</auth><policy context=\"default\">"
                                "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                                "<allow own=\"*\"/></policy></busconfig>\n")
                     .arg(m_dir.path())
                     .toUtf8());
    config.close();
    m_daemon.start(QStringLiteral("dbus-daemon"), {QStringLiteral("--config-file=") + config.fileName(),
                                                   QStringLiteral("--nofork"), QStringLiteral("--print-address")});
    m_daemon.waitForStarted();
    while (!m_daemon.canReadLine() && m_daemon.waitForReadyRead(10000)) {
    }
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
}

BareBus::~BareBus()
{
    QDBusConnection::disconnectFromBus(QStringLiteral("bare-bus-") + m_address);
    for (QProcess* process : {&m_keyring, &m_daemon}) {
        if (process->state() != QProcess::NotRunning) {
            process->kill();
            process->waitForFinished();
        }
    }
}

bool BareBus::startKeyring(Sandbox& sandbox)
{
    sandbox.setEnv(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_address);
    m_keyring.setProcessEnvironment(sandbox.environment());
    m_keyring.setStandardOutputFile(QProcess::nullDevice());
    m_keyring.setStandardErrorFile(QProcess::nullDevice());
    m_keyring.start(QStringLiteral("gnome-keyring-daemon"), {QStringLiteral("--foreground"), QStringLiteral("--unlock"),
                                                             QStringLiteral("--components=secrets")});
    if (!m_keyring.waitForStarted()) {
        return false;
    }
    m_keyring.write("bare-bus-password");
    m_keyring.waitForBytesWritten();
    m_keyring.closeWriteChannel();
    const QDBusConnection bus = connectionTo(m_address);
    const QDeadlineTimer deadline(30000);
    while (!bus.interface()->isServiceRegistered(secretsService).value()) {
        if (deadline.hasExpired() || m_keyring.state() == QProcess::NotRunning) {
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

bool BareBus::lockDefaultCollection() const
{
    const QDBusConnection bus = connectionTo(m_address);
    const QString root = QStringLiteral("/org/freedesktop/secrets");
    const QString interface = QStringLiteral("org.freedesktop.Secret.Service");
    QDBusMessage alias = QDBusMessage::createMethodCall(secretsService, root, interface, QStringLiteral("ReadAlias"));
    alias << QStringLiteral("default");
    const QDBusMessage found = bus.call(alias);
    if (found.type() != QDBusMessage::ReplyMessage || found.arguments().isEmpty()) {
        return false;
    }
    const auto collection = qvariant_cast<QDBusObjectPath>(found.arguments().constFirst());
    QDBusMessage lock = QDBusMessage::createMethodCall(secretsService, root, interface, QStringLiteral("Lock"));
    lock << QVariant::fromValue(QList<QDBusObjectPath>{collection});
    return bus.call(lock).type() == QDBusMessage::ReplyMessage;
}

} // namespace quilvant::test
