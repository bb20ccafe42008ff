#include "platform/TrayPresence.h"

#include "core/Diagnostics.h"
#include "platform/X11Connection.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QTimer>

namespace quilvant {

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");

} // namespace

TrayPresence::TrayPresence(QObject* parent)
    : QObject(parent)
{
    watchX11();
    watchStatusNotifier();
}

TrayPresence::~TrayPresence() = default;

void TrayPresence::found(const char* kind)
{
    if (m_present) {
        return;
    }
    m_present = true;
    Diagnostics::record(QStringLiteral("tray.found kind=") + QLatin1String(kind));
    // Not from inside the constructor or a handler that may end up destroying us; nothing more is to be heard on
    // the X connection either way.
    QTimer::singleShot(0, this, [this] {
        m_x11.reset();
        Q_EMIT appeared();
    });
}

void TrayPresence::watchX11()
{
    m_x11 = X11Connection::open();
    if (!m_x11) {
        return;
    }
    xcb_connection_t* connection = m_x11->get();
    int screen = 0;
    for (xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection)); it.rem > 0;
         xcb_screen_next(&it), ++screen) {
        if (it.data->root == m_x11->root()) {
            break;
        }
    }
    const QByteArray name = "_NET_SYSTEM_TRAY_S" + QByteArray::number(screen);
    const XcbFreed<xcb_intern_atom_reply_t> atom{xcb_intern_atom_reply(
        connection, xcb_intern_atom(connection, 0, static_cast<uint16_t>(name.size()), name.constData()), nullptr)};
    const XcbFreed<xcb_intern_atom_reply_t> manager{
        xcb_intern_atom_reply(connection, xcb_intern_atom(connection, 0, 7, "MANAGER"), nullptr)};
    if (atom.data == nullptr || manager.data == nullptr) {
        m_x11.reset();
        return;
    }
    m_traySelection = atom.data->atom;
    const xcb_atom_t managerAtom = manager.data->atom;
    // A tray that takes the selection later says so to every client with a MANAGER message on the root window.
    const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    xcb_change_window_attributes(connection, m_x11->root(), XCB_CW_EVENT_MASK, &mask);
    m_x11->setHandler([this, managerAtom](const xcb_generic_event_t& event) {
        if ((event.response_type & 0x7f) != XCB_CLIENT_MESSAGE) {
            return;
        }
        const auto& message = reinterpret_cast<const xcb_client_message_event_t&>(event);
        if (message.type == managerAtom && message.format == 32 && message.data.data32[1] == m_traySelection) {
            found("xembed");
        }
    });
    const XcbFreed<xcb_get_selection_owner_reply_t> owner{
        xcb_get_selection_owner_reply(connection, xcb_get_selection_owner(connection, m_traySelection), nullptr)};
    m_x11->flush();
    if (owner.data != nullptr && owner.data->owner != XCB_NONE) {
        found("xembed");
    }
}

void TrayPresence::watchStatusNotifier()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        return;
    }
    auto* watcher = new QDBusServiceWatcher(watcherService, bus, QDBusServiceWatcher::WatchForRegistration, this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &TrayPresence::askStatusNotifierHost);
    bus.connect(watcherService, watcherPath, watcherService, QStringLiteral("StatusNotifierHostRegistered"), this,
                SLOT(askStatusNotifierHost()));
    askStatusNotifierHost();
}

void TrayPresence::askStatusNotifierHost()
{
    if (m_present) {
        return;
    }
    QDBusMessage get = QDBusMessage::createMethodCall(
        watcherService, watcherPath, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << watcherService << QStringLiteral("IsStatusNotifierHostRegistered");
    auto* pending = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(get), this);
    connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        const QDBusPendingReply<QDBusVariant> reply = *call;
        // No watcher yet (the usual case at login) is an error reply: the service watcher says when one comes.
        if (!reply.isError() && reply.value().variant().toBool()) {
            found("statusnotifier");
        }
    });
}

} // namespace quilvant
