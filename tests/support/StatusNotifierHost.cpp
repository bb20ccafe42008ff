#include "support/StatusNotifierHost.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusVariant>
#include <QMutexLocker>
#include <QSemaphore>

namespace quilvant::test {

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem");

QVariant itemProperty(const QDBusConnection& bus, const QString& service, const QString& path, const QString& name,
                      QString* error)
{
    QDBusMessage get = QDBusMessage::createMethodCall(service, path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                                      QStringLiteral("Get"));
    get << itemInterface << name;
    const QDBusMessage reply = bus.call(get, QDBus::Block, 10'000);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        *error = name + QStringLiteral(": ") + reply.errorMessage();
        return {};
    }
    return reply.arguments().constFirst().value<QDBusVariant>().variant();
}

// a(iiay): width, height and the pixels as ARGB32 in network byte order.
QList<QImage> pixmapsFrom(const QVariant& value)
{
    QList<QImage> images;
    if (!value.canConvert<QDBusArgument>()) {
        return images;
    }
    const auto argument = value.value<QDBusArgument>();
    argument.beginArray();
    while (!argument.atEnd()) {
        int width = 0;
        int height = 0;
        QByteArray bytes;
        argument.beginStructure();
        argument >> width >> height >> bytes;
        argument.endStructure();
        if (width <= 0 || height <= 0 || bytes.size() != qsizetype(width) * height * 4) {
            continue;
        }
        QImage image(width, height, QImage::Format_ARGB32);
        const auto* data = reinterpret_cast<const uchar*>(bytes.constData());
        for (int y = 0; y < height; ++y) {
            auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
            for (int x = 0; x < width; ++x, data += 4) {
                line[x] = qRgba(data[1], data[2], data[3], data[0]);
            }
        }
        images.append(image);
    }
    argument.endArray();
    return images;
}

// A label as a menu shows it: dbusmenu marks the access key with "_" and writes a literal one as "__".
QString shown(const QString& label)
{
    QString text;
    for (qsizetype i = 0; i < label.size(); ++i) {
        if (label.at(i) == u'_' && i + 1 < label.size()) {
            ++i;
        }
        text.append(label.at(i));
    }
    return text;
}

// The labels of a layout node's (ia{sv}av) children, each a node wrapped in a variant; every structure and array
// opened is closed again.
QStringList labelsFrom(const QDBusArgument& layout)
{
    QStringList labels;
    int id = 0;
    QVariantMap properties;
    layout.beginStructure();
    layout >> id >> properties;
    layout.beginArray();
    while (!layout.atEnd()) {
        QDBusVariant child;
        layout >> child;
        const auto node = child.variant().value<QDBusArgument>();
        int childId = 0;
        QVariantMap childProperties;
        node.beginStructure();
        node >> childId >> childProperties;
        node.beginArray();
        while (!node.atEnd()) {
            QDBusVariant grandchild;
            node >> grandchild;
        }
        node.endArray();
        node.endStructure();
        if (childProperties.value(QStringLiteral("visible"), true).toBool()) {
            labels.append(childProperties.value(QStringLiteral("type")).toString() == QLatin1String("separator")
                              ? QStringLiteral("-")
                              : shown(childProperties.value(QStringLiteral("label")).toString()));
        }
    }
    layout.endArray();
    layout.endStructure();
    return labels;
}

} // namespace

// The watcher's D-Bus face, on the host's thread.
class StatusNotifierWatcher final : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)

public:
    StatusNotifierWatcher(StatusNotifierHost* host, QDBusConnection bus)
        : m_host(host)
        , m_bus(std::move(bus))
    {}

    QStringList registeredItems() const { return m_registered; }
    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }

public Q_SLOTS:
    void RegisterStatusNotifierItem(const QString& serviceOrPath, const QDBusMessage& message)
    {
        const bool isPath = serviceOrPath.startsWith(QLatin1Char('/'));
        const QString service = isPath ? message.service() : serviceOrPath;
        const QString path = isPath ? serviceOrPath : QStringLiteral("/StatusNotifierItem");
        const QString entry = service + path;
        if (!m_registered.contains(entry)) {
            m_registered.append(entry);
            m_bus.connect(service, path, itemInterface, QStringLiteral("NewIcon"), this, SLOT(iconChanged()));
        }
        m_paths.insert(service, path);
        Q_EMIT StatusNotifierItemRegistered(entry);
        // After the answer, which the item may wait for before it serves its properties.
        QMetaObject::invokeMethod(
            this, [this, service] { read(service); }, Qt::QueuedConnection);
    }
    void RegisterStatusNotifierHost(const QString&) {}

Q_SIGNALS:
    void StatusNotifierItemRegistered(const QString& item);
    void StatusNotifierItemUnregistered(const QString& item);
    void StatusNotifierHostRegistered();

private Q_SLOTS:
    // Any item's new icon: read them all again (the signal comes from an item's unique name, which need not be
    // the name it registered).
    void iconChanged()
    {
        for (auto it = m_paths.cbegin(); it != m_paths.cend(); ++it) {
            read(it.key());
        }
    }

private:
    void read(const QString& service)
    {
        StatusNotifierHost::Item item;
        item.service = service;
        const QString path = m_paths.value(service);
        item.iconName = itemProperty(m_bus, service, path, QStringLiteral("IconName"), &item.error).toString();
        item.pixmaps = pixmapsFrom(itemProperty(m_bus, service, path, QStringLiteral("IconPixmap"), &item.error));
        const auto menu =
            itemProperty(m_bus, service, path, QStringLiteral("Menu"), &item.error).value<QDBusObjectPath>();
        if (!menu.path().isEmpty()) {
            QDBusMessage layout = QDBusMessage::createMethodCall(
                service, menu.path(), QStringLiteral("com.canonical.dbusmenu"), QStringLiteral("GetLayout"));
            layout << 0 << -1 << QStringList();
            const QDBusMessage reply = m_bus.call(layout, QDBus::Block, 10'000);
            if (reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 2) {
                item.menu = labelsFrom(reply.arguments().at(1).value<QDBusArgument>());
            } else {
                item.error = QStringLiteral("GetLayout: ") + reply.errorMessage();
            }
        }
        m_host->store(item);
    }

    StatusNotifierHost* m_host;
    QDBusConnection m_bus;
    QStringList m_registered;
    QHash<QString, QString> m_paths;
};

StatusNotifierHost::StatusNotifierHost()
{
    m_thread.start();
    QSemaphore ready;
    auto* starter = new QObject;
    starter->moveToThread(&m_thread);
    QMetaObject::invokeMethod(starter, [this, starter, &ready] {
        QDBusConnection bus =
            QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("status-notifier-host"));
        m_watcher = new StatusNotifierWatcher(this, bus);
        if (!bus.isConnected()) {
            m_error = QStringLiteral("no session bus");
        } else if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), m_watcher,
                                       QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                           QDBusConnection::ExportAllProperties)) {
            m_error = QStringLiteral("cannot export the watcher");
        } else if (!bus.registerService(watcherService)) {
            m_error = QStringLiteral("the watcher's name is taken: ") + bus.lastError().message();
        } else if (!bus.registerService(
                       QStringLiteral("org.kde.StatusNotifierHost-%1").arg(QCoreApplication::applicationPid()))) {
            m_error = QStringLiteral("cannot take a host name");
        }
        delete starter;
        ready.release();
    });
    ready.acquire();
}

StatusNotifierHost::~StatusNotifierHost()
{
    QSemaphore done;
    auto* stopper = new QObject;
    stopper->moveToThread(&m_thread);
    QMetaObject::invokeMethod(stopper, [this, stopper, &done] {
        delete stopper;
        delete m_watcher;
        QDBusConnection::disconnectFromBus(QStringLiteral("status-notifier-host"));
        done.release();
    });
    done.acquire();
    m_thread.quit();
    m_thread.wait();
}

QList<StatusNotifierHost::Item> StatusNotifierHost::items() const
{
    const QMutexLocker lock(&m_mutex);
    return m_items;
}

void StatusNotifierHost::store(const Item& item)
{
    const QMutexLocker lock(&m_mutex);
    for (Item& known : m_items) {
        if (known.service == item.service) {
            const int reads = known.reads;
            known = item;
            known.reads = reads + 1;
            return;
        }
    }
    m_items.append(item);
    m_items.last().reads = 1;
}

} // namespace quilvant::test

#include "StatusNotifierHost.moc"
