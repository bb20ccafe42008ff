#include "platform/X11RegionReader.h"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>

namespace quilvant {

namespace {

// The root window's pixels are 32 bits wide, least significant byte first, as QImage::Format_RGB32 lays them
// out on this machine (depth 24 or 32, the visuals every current X server offers).
bool pixelsFit(xcb_connection_t* c, xcb_window_t root)
{
    const xcb_setup_t* setup = xcb_get_setup(c);
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST || QSysInfo::ByteOrder != QSysInfo::LittleEndian) {
        return false;
    }
    const XcbFreed<xcb_get_geometry_reply_t> geometry{xcb_get_geometry_reply(c, xcb_get_geometry(c, root), nullptr)};
    if (geometry.data == nullptr) {
        return false;
    }
    for (xcb_format_iterator_t format = xcb_setup_pixmap_formats_iterator(setup); format.rem > 0;
         xcb_format_next(&format)) {
        if (format.data->depth == geometry.data->depth) {
            return format.data->bits_per_pixel == 32 && (geometry.data->depth == 24 || geometry.data->depth == 32);
        }
    }
    return false;
}

bool serverHasShm(xcb_connection_t* c)
{
    const XcbFreed<xcb_shm_query_version_reply_t> version{
        xcb_shm_query_version_reply(c, xcb_shm_query_version(c), nullptr)};
    return version.data != nullptr;
}

Error lookFailed(const xcb_generic_error_t* error)
{
    // BadMatch: part of the region lies outside the root window (a screen went away or shrank).
    return Error::system(error != nullptr && error->error_code == 8
                             ? QStringLiteral("the watched region is no longer on the screen")
                             : QStringLiteral("the X server did not give the region's pixels"));
}

} // namespace

std::unique_ptr<X11RegionReader> X11RegionReader::create()
{
    return create(true);
}

std::unique_ptr<X11RegionReader> X11RegionReader::create(bool useShm)
{
    std::unique_ptr<X11Connection> connection = X11Connection::open();
    if (!connection || !pixelsFit(connection->get(), connection->root())) {
        return nullptr;
    }
    std::unique_ptr<X11RegionReader> reader(new X11RegionReader(std::move(connection)));
    reader->m_shm = useShm && serverHasShm(reader->m_x->get());
    return reader;
}

X11RegionReader::X11RegionReader(std::unique_ptr<X11Connection> connection)
    : m_x(std::move(connection))
{}

X11RegionReader::~X11RegionReader()
{
    detachSegment();
}

QString X11RegionReader::name() const
{
    return m_shm ? QStringLiteral("x11-shm") : QStringLiteral("x11");
}

void X11RegionReader::setRegion(const QRect& region)
{
    m_region = region;
    m_lookedSize = QSize();
}

bool X11RegionReader::attachSegment(qsizetype bytes)
{
    detachSegment();
    const int id = shmget(IPC_PRIVATE, static_cast<size_t>(bytes), IPC_CREAT | 0600);
    if (id < 0) {
        return false;
    }
    void* memory = shmat(id, nullptr, 0);
    if (memory == reinterpret_cast<void*>(-1)) {
        shmctl(id, IPC_RMID, nullptr);
        return false;
    }
    xcb_connection_t* c = m_x->get();
    const std::uint32_t segment = xcb_generate_id(c);
    const XcbFreed<xcb_generic_error_t> error{
        xcb_request_check(c, xcb_shm_attach_checked(c, segment, static_cast<std::uint32_t>(id), 0))};
    // Marked for removal at once: the segment goes when both sides have let go, also if we die first.
    shmctl(id, IPC_RMID, nullptr);
    if (error.data != nullptr) {
        shmdt(memory);
        return false;
    }
    m_segment = segment;
    m_memory = static_cast<uchar*>(memory);
    m_capacity = bytes;
    return true;
}

void X11RegionReader::detachSegment()
{
    if (m_segment != 0) {
        xcb_shm_detach(m_x->get(), m_segment);
        xcb_flush(m_x->get());
        m_segment = 0;
    }
    if (m_memory != nullptr) {
        shmdt(m_memory);
        m_memory = nullptr;
    }
    m_capacity = 0;
}

Outcome<std::uint64_t> X11RegionReader::lookNow()
{
    m_lookedSize = QSize();
    if (m_region.isEmpty() || m_region.width() > 0x7fff || m_region.height() > 0x7fff) {
        return Error::system(QStringLiteral("no region to watch"));
    }
    xcb_connection_t* c = m_x->get();
    if (xcb_connection_has_error(c) != 0) {
        return Error::system(QStringLiteral("the connection to the X server was lost"));
    }
    const auto x = static_cast<int16_t>(m_region.x());
    const auto y = static_cast<int16_t>(m_region.y());
    const auto w = static_cast<uint16_t>(m_region.width());
    const auto h = static_cast<uint16_t>(m_region.height());
    const qsizetype rowBytes = qsizetype(w) * 4;
    const qsizetype bytes = rowBytes * h;
    if (m_shm && m_capacity < bytes && !attachSegment(bytes)) {
        m_shm = false; // no segment to be had (limits of the system): through the socket from now on
    }
    if (m_shm) {
        xcb_generic_error_t* failure = nullptr;
        const XcbFreed<xcb_shm_get_image_reply_t> reply{xcb_shm_get_image_reply(
            c, xcb_shm_get_image(c, m_x->root(), x, y, w, h, ~0U, XCB_IMAGE_FORMAT_Z_PIXMAP, m_segment, 0), &failure)};
        const XcbFreed<xcb_generic_error_t> error{failure};
        if (reply.data == nullptr) {
            return lookFailed(error.data);
        }
        m_lookedSize = QSize(w, h);
        return signature(m_memory, h, rowBytes, rowBytes);
    }
    xcb_generic_error_t* failure = nullptr;
    const XcbFreed<xcb_get_image_reply_t> reply{
        xcb_get_image_reply(c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, m_x->root(), x, y, w, h, ~0U), &failure)};
    const XcbFreed<xcb_generic_error_t> error{failure};
    if (reply.data == nullptr || xcb_get_image_data_length(reply.data) < bytes) {
        return lookFailed(error.data);
    }
    m_socketPixels =
        QByteArray(reinterpret_cast<const char*>(xcb_get_image_data(reply.data)), static_cast<qsizetype>(bytes));
    m_lookedSize = QSize(w, h);
    return signature(reinterpret_cast<const uchar*>(m_socketPixels.constData()), h, rowBytes, rowBytes);
}

Cancellation X11RegionReader::look(Completion<std::uint64_t> done)
{
    // One round trip to the local server (a millisecond or less); its answer is handed over from the event loop.
    auto once = std::make_shared<Once<std::uint64_t>>(std::move(done));
    Once<std::uint64_t>::finishLater(once, lookNow());
    return Cancellation([once] { Once<std::uint64_t>::cancel(once); });
}

QImage X11RegionReader::picture() const
{
    if (!m_lookedSize.isValid()) {
        return {};
    }
    const uchar* pixels = m_shm ? m_memory : reinterpret_cast<const uchar*>(m_socketPixels.constData());
    const QImage view(pixels, m_lookedSize.width(), m_lookedSize.height(), m_lookedSize.width() * 4,
                      QImage::Format_RGB32);
    return view.copy();
}

} // namespace quilvant
