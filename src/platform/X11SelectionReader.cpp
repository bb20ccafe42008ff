#include "platform/X11SelectionReader.h"

#include <QPointer>
#include <QStringDecoder>
#include <QTextDocument>
#include <QTextDocumentFragment>
#include <algorithm>
#include <cstring>

namespace quilvant {

namespace {

// Markup from another program is only read: no file or address it names (style sheets, images) is opened, so
// it cannot make us read a device or a pipe that never ends.
class NothingLoaded final : public QTextDocument
{
protected:
    QVariant loadResource(int, const QUrl&) override { return {}; }
};

} // namespace

struct X11SelectionReader::Read
{
    qsizetype limit = 0;
    Completion<SelectedText> done;
    xcb_atom_t selection = XCB_ATOM_PRIMARY;
    xcb_atom_t target = XCB_ATOM_NONE;
    bool incremental = false;
    QByteArray bytes;
};

Cancellation NullSelectionReader::read(qsizetype, Completion<SelectedText> done)
{
    auto once = std::make_shared<Once<SelectedText>>(std::move(done));
    Once<SelectedText>::finishLater(once, SelectedText{});
    return Cancellation([once] { Once<SelectedText>::cancel(once); });
}

std::unique_ptr<X11SelectionReader> X11SelectionReader::create(QObject* parent)
{
    std::unique_ptr<X11Connection> connection = X11Connection::open();
    if (!connection) {
        return nullptr;
    }
    return std::unique_ptr<X11SelectionReader>(new X11SelectionReader(std::move(connection), parent));
}

X11SelectionReader::X11SelectionReader(std::unique_ptr<X11Connection> connection, QObject* parent)
    : SelectionReader(parent)
    , m_x(std::move(connection))
{
    xcb_connection_t* c = m_x->get();
    m_window = xcb_generate_id(c);
    const uint32_t events = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_create_window(c, XCB_COPY_FROM_PARENT, m_window, m_x->root(), 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_ONLY,
                      XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK, &events);
    m_clipboard = atom("CLIPBOARD");
    m_utf8 = atom("UTF8_STRING");
    m_html = atom("text/html");
    m_incr = atom("INCR");
    m_property = atom("QUILVANT_SELECTION");
    m_x->setHandler([this](const xcb_generic_event_t& event) { handle(event); });
    m_timer.setSingleShot(true);
    m_timer.setInterval(answerMilliseconds);
    connect(&m_timer, &QTimer::timeout, this, [this] {
        if (m_read) {
            finish(AppFailure{QStringLiteral("选中文字的程序没有回应，请重试。")});
        }
    });
}

X11SelectionReader::~X11SelectionReader()
{
    m_read.reset();
    xcb_destroy_window(m_x->get(), m_window);
    xcb_flush(m_x->get());
}

xcb_atom_t X11SelectionReader::atom(const char* name) const
{
    xcb_connection_t* c = m_x->get();
    const XcbFreed<xcb_intern_atom_reply_t> reply{
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr)};
    return reply.data != nullptr ? reply.data->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

Cancellation X11SelectionReader::read(qsizetype limit, Completion<SelectedText> done)
{
    if (m_read) {
        finish(Error::cancelled());
    }
    auto read = std::make_shared<Read>();
    read->limit = limit;
    read->done = std::move(done);
    m_read = read;
    // Asked from the event loop, so that the end is never delivered inside this call.
    QPointer<X11SelectionReader> self(this);
    QMetaObject::invokeMethod(
        this,
        [self, read] {
            if (self && self->m_read == read) {
                self->ask(XCB_ATOM_PRIMARY, self->m_utf8);
            }
        },
        Qt::QueuedConnection);
    std::weak_ptr<Read> weak = read;
    return Cancellation([self, weak] {
        if (self && self->m_read && self->m_read == weak.lock()) {
            self->finish(Error::cancelled());
        }
    });
}

void X11SelectionReader::ask(xcb_atom_t selection, xcb_atom_t target)
{
    m_read->selection = selection;
    m_read->target = target;
    m_read->incremental = false;
    m_read->bytes.clear();
    xcb_delete_property(m_x->get(), m_window, m_property);
    xcb_convert_selection(m_x->get(), m_window, selection, target, m_property, XCB_CURRENT_TIME);
    m_timer.start();
    send();
}

void X11SelectionReader::send()
{
    xcb_flush(m_x->get());
    // Events that arrived while a reply was awaited sit in xcb's queue, where the socket no longer wakes us; they
    // are handed out from the event loop, never inside the handler that is running now.
    QPointer<X11SelectionReader> self(this);
    QMetaObject::invokeMethod(
        this,
        [self] {
            if (self) {
                self->m_x->flush();
            }
        },
        Qt::QueuedConnection);
}

void X11SelectionReader::handle(const xcb_generic_event_t& event)
{
    if (!m_read) {
        return;
    }
    switch (event.response_type & 0x7f) {
    case XCB_SELECTION_NOTIFY: {
        const auto& notify = reinterpret_cast<const xcb_selection_notify_event_t&>(event);
        if (notify.requestor == m_window && notify.selection == m_read->selection && !m_read->incremental) {
            answered(notify);
        }
        break;
    }
    case XCB_PROPERTY_NOTIFY: {
        const auto& change = reinterpret_cast<const xcb_property_notify_event_t&>(event);
        if (change.window == m_window && change.atom == m_property && change.state == XCB_PROPERTY_NEW_VALUE &&
            m_read->incremental) {
            chunkArrived();
        }
        break;
    }
    default:
        break;
    }
}

bool X11SelectionReader::takeProperty(QByteArray* value, xcb_atom_t* type, bool* more)
{
    xcb_connection_t* c = m_x->get();
    // One byte beyond what is left of the limit tells "too large" from "just fits".
    const qsizetype room = budget() - m_read->bytes.size() + 1;
    const auto words = static_cast<uint32_t>(std::max<qsizetype>(room, 0) / 4 + 1);
    const XcbFreed<xcb_get_property_reply_t> reply{xcb_get_property_reply(
        c, xcb_get_property(c, 1, m_window, m_property, XCB_GET_PROPERTY_TYPE_ANY, 0, words), nullptr)};
    if (reply.data == nullptr) {
        return false;
    }
    *type = reply.data->type;
    *more = reply.data->bytes_after > 0;
    const int length = xcb_get_property_value_length(reply.data);
    value->append(static_cast<const char*>(xcb_get_property_value(reply.data)), length);
    if (*more) {
        // Read only in part, so not deleted: delete it now, or an incremental owner would wait for that.
        xcb_delete_property(c, m_window, m_property);
    }
    send();
    return true;
}

void X11SelectionReader::answered(const xcb_selection_notify_event_t& event)
{
    if (event.property == XCB_ATOM_NONE) {
        // The owner cannot give this target (or there is no owner): try plain STRING, then the next selection.
        if (event.target == m_utf8) {
            ask(m_read->selection, XCB_ATOM_STRING);
        } else if (event.target == XCB_ATOM_STRING) {
            // An owner of rich text only, which some programs are: its plain text is taken from the markup.
            ask(m_read->selection, m_html);
        } else {
            nothingFrom(m_read->selection);
        }
        return;
    }
    QByteArray value;
    xcb_atom_t type = XCB_ATOM_NONE;
    bool more = false;
    if (!takeProperty(&value, &type, &more)) {
        nothingFrom(m_read->selection);
        return;
    }
    if (type == m_incr) {
        // The value is the owner's lower bound on the size; the chunks follow as the property is replaced.
        quint32 bound = 0;
        if (value.size() >= 4) {
            std::memcpy(&bound, value.constData(), 4);
        }
        if (bound > static_cast<quint64>(budget())) {
            finish(SelectedText{{},
                                m_read->selection == XCB_ATOM_PRIMARY ? SelectedText::From::Primary
                                                                      : SelectedText::From::Clipboard,
                                true});
            return;
        }
        m_read->incremental = true;
        m_timer.start();
        return;
    }
    m_read->bytes = value;
    if (more || m_read->bytes.size() > budget()) {
        finish(SelectedText{{},
                            m_read->selection == XCB_ATOM_PRIMARY ? SelectedText::From::Primary
                                                                  : SelectedText::From::Clipboard,
                            true});
        return;
    }
    complete();
}

qsizetype X11SelectionReader::budget() const
{
    return m_read->target == m_html ? m_read->limit * markupAllowance : m_read->limit;
}

void X11SelectionReader::complete()
{
    const SelectedText::From from =
        m_read->selection == XCB_ATOM_PRIMARY ? SelectedText::From::Primary : SelectedText::From::Clipboard;
    const QByteArray& bytes = m_read->bytes;
    QString text;
    if (m_read->target == m_utf8) {
        text = QString::fromUtf8(bytes);
    } else if (m_read->target == XCB_ATOM_STRING) {
        text = QString::fromLatin1(bytes);
    } else {
        // Markup comes in UTF-8, or in UTF-16 after a byte-order mark, or in what its own charset says.
        QStringDecoder decoder(QStringConverter::encodingForHtml(bytes).value_or(QStringConverter::Utf8));
        const NothingLoaded resources;
        text = QTextDocumentFragment::fromHtml(decoder.decode(bytes), &resources).toPlainText();
        // No more plain text than a plain selection could bring.
        if (text.toUtf8().size() > m_read->limit) {
            finish(SelectedText{{}, from, true});
            return;
        }
    }
    if (text.trimmed().isEmpty()) {
        // Some owners of rich text only answer every plain-text target with nothing: the markup may hold text.
        if (m_read->target != m_html) {
            ask(m_read->selection, m_html);
        } else {
            nothingFrom(m_read->selection);
        }
        return;
    }
    finish(SelectedText{text, from, false});
}

void X11SelectionReader::chunkArrived()
{
    QByteArray chunk;
    xcb_atom_t type = XCB_ATOM_NONE;
    bool more = false;
    if (!takeProperty(&chunk, &type, &more)) {
        nothingFrom(m_read->selection);
        return;
    }
    const SelectedText::From from =
        m_read->selection == XCB_ATOM_PRIMARY ? SelectedText::From::Primary : SelectedText::From::Clipboard;
    if (chunk.isEmpty() && !more) {
        // The empty chunk ends the transfer.
        m_read->incremental = false;
        complete();
        return;
    }
    m_read->bytes += chunk;
    if (more || m_read->bytes.size() > budget()) {
        finish(SelectedText{{}, from, true});
        return;
    }
    m_timer.start();
}

void X11SelectionReader::nothingFrom(xcb_atom_t selection)
{
    if (selection == XCB_ATOM_PRIMARY) {
        ask(m_clipboard, m_utf8);
        return;
    }
    finish(SelectedText{});
}

void X11SelectionReader::finish(Outcome<SelectedText> outcome)
{
    m_timer.stop();
    const std::shared_ptr<Read> read = std::move(m_read);
    m_read.reset();
    if (read) {
        xcb_delete_property(m_x->get(), m_window, m_property);
        send();
    }
    if (read && read->done) {
        read->done(std::move(outcome));
    }
}

} // namespace quilvant
