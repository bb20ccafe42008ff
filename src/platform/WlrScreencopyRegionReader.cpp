#include "platform/WlrScreencopyRegionReader.h"

#include "wlr-screencopy-unstable-v1-client-protocol.h"
#include "xdg-output-unstable-v1-client-protocol.h"

#include <QPointer>
#include <QSocketNotifier>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>
#include <wayland-client.h>

namespace quilvant {

namespace {

// What a compositor may ask for: no output is wider or taller than this, and no buffer bigger.
constexpr std::uint32_t largestSide = 16384;
constexpr std::size_t largestBuffer = std::size_t(256) << 20;

// The shared memory formats read: four bytes a pixel, the fourth padding or alpha, as wl_shm lays them out
// (least significant byte first).
bool readable(std::uint32_t format)
{
    return Q_BYTE_ORDER == Q_LITTLE_ENDIAN && (format == WL_SHM_FORMAT_XRGB8888 || format == WL_SHM_FORMAT_ARGB8888 ||
                                               format == WL_SHM_FORMAT_XBGR8888 || format == WL_SHM_FORMAT_ABGR8888);
}

} // namespace

// The look running, from look() to its end: the compositor's frame and the buffer it is copied into.
struct WlrScreencopyRegionReader::Look
{
    std::uint64_t generation = 0;
    std::shared_ptr<Once<std::uint64_t>> once;
    zwlr_screencopy_frame_v1* frame = nullptr;
    Cancellation delegated; // the fallback's look, when it is the fallback's
    bool offered = false;   // the compositor named a shared memory buffer
    std::uint32_t format = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;
    bool yInvert = false;
    int buffer = -1; // which of the two buffers the copy goes to
};

struct WlrScreencopyRegionReader::Wayland
{
    enum class State
    {
        Discovering,
        Ready,
        Unsupported,
        Lost,
    };

    struct Output
    {
        std::uint32_t name = 0;
        wl_output* output = nullptr;
        zxdg_output_v1* xdg = nullptr;
        QPoint position;
        QSize size;
    };

    WlrScreencopyRegionReader* reader = nullptr;
    wl_display* display = nullptr;
    wl_registry* registry = nullptr;
    wl_callback* sync = nullptr;
    int syncStage = 0;
    wl_shm* shm = nullptr;
    zwlr_screencopy_manager_v1* manager = nullptr;
    std::uint32_t managerName = 0;
    std::uint32_t managerVersion = 0;
    zxdg_output_manager_v1* xdgManager = nullptr;
    std::vector<std::unique_ptr<Output>> outputs;
    State state = State::Discovering;
    QString lost;

    // Two buffers of one pool, the compositor copying into the one that does not hold the last picture.
    wl_shm_pool* pool = nullptr;
    wl_buffer* buffers[2] = {nullptr, nullptr};
    uchar* memory = nullptr;
    std::size_t bufferBytes = 0;
    std::uint32_t format = 0;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint32_t stride = 0;
    int picture = -1; // the buffer of the last successful look, -1 when none
    bool pictureYInvert = false;

    ~Wayland()
    {
        releaseBuffers();
        for (const std::unique_ptr<Output>& output : outputs) {
            forget(*output);
        }
        if (sync != nullptr) {
            wl_callback_destroy(sync);
        }
        if (manager != nullptr) {
            zwlr_screencopy_manager_v1_destroy(manager);
        }
        if (xdgManager != nullptr) {
            zxdg_output_manager_v1_destroy(xdgManager);
        }
        if (shm != nullptr) {
            wl_shm_destroy(shm);
        }
        if (registry != nullptr) {
            wl_registry_destroy(registry);
        }
        if (display != nullptr) {
            wl_display_disconnect(display);
        }
    }

    static void forget(Output& output)
    {
        if (output.xdg != nullptr) {
            zxdg_output_v1_destroy(output.xdg);
        }
        wl_output_destroy(output.output);
    }

    void releaseBuffers()
    {
        for (wl_buffer*& buffer : buffers) {
            if (buffer != nullptr) {
                wl_buffer_destroy(buffer);
                buffer = nullptr;
            }
        }
        if (pool != nullptr) {
            wl_shm_pool_destroy(pool);
            pool = nullptr;
        }
        if (memory != nullptr) {
            munmap(memory, 2 * bufferBytes);
            memory = nullptr;
        }
        bufferBytes = 0;
        picture = -1;
    }

    // The two buffers for frames of this format and size: those of the last look when they fit, else new ones.
    // The memory is sealed at its size, so that the compositor cannot shrink it under the reader's feet.
    bool ensureBuffers(std::uint32_t wantedFormat, std::uint32_t wantedWidth, std::uint32_t wantedHeight,
                       std::uint32_t wantedStride)
    {
        if (pool != nullptr && format == wantedFormat && width == wantedWidth && height == wantedHeight &&
            stride == wantedStride) {
            return true;
        }
        releaseBuffers();
        const std::size_t bytes = std::size_t(wantedStride) * wantedHeight;
        const int fd = memfd_create("quilvant-region", MFD_CLOEXEC | MFD_ALLOW_SEALING);
        if (fd < 0) {
            return false;
        }
        void* mapped = MAP_FAILED;
        if (ftruncate(fd, static_cast<off_t>(2 * bytes)) == 0 &&
            fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_SEAL) == 0) {
            mapped = mmap(nullptr, 2 * bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        }
        if (mapped == MAP_FAILED) {
            const int error = errno; // for the caller's message, past close()
            close(fd);
            errno = error;
            return false;
        }
        memory = static_cast<uchar*>(mapped);
        bufferBytes = bytes;
        // The request carries a duplicate of the descriptor: ours is not needed past it.
        pool = wl_shm_create_pool(shm, fd, static_cast<std::int32_t>(2 * bytes));
        close(fd);
        for (int i = 0; i < 2; ++i) {
            buffers[i] = wl_shm_pool_create_buffer(
                pool, static_cast<std::int32_t>(std::size_t(i) * bytes), static_cast<std::int32_t>(wantedWidth),
                static_cast<std::int32_t>(wantedHeight), static_cast<std::int32_t>(wantedStride), wantedFormat);
        }
        format = wantedFormat;
        width = wantedWidth;
        height = wantedHeight;
        stride = wantedStride;
        return true;
    }

    void describe(Output& output)
    {
        if (xdgManager != nullptr && output.xdg == nullptr) {
            output.xdg = zxdg_output_manager_v1_get_xdg_output(xdgManager, output.output);
            zxdg_output_v1_add_listener(output.xdg, &xdgOutputListener, &output);
        }
    }

    void syncAs(int stage)
    {
        sync = wl_display_sync(display);
        syncStage = stage;
        wl_callback_add_listener(sync, &syncListener, this);
    }

    static void global(void* data, wl_registry* registryProxy, std::uint32_t name, const char* interface,
                       std::uint32_t version)
    {
        auto* wl = static_cast<Wayland*>(data);
        if (std::strcmp(interface, wl_shm_interface.name) == 0 && wl->shm == nullptr) {
            wl->shm = static_cast<wl_shm*>(wl_registry_bind(registryProxy, name, &wl_shm_interface, 1));
        } else if (std::strcmp(interface, zwlr_screencopy_manager_v1_interface.name) == 0 && wl->manager == nullptr) {
            wl->managerVersion = std::min<std::uint32_t>(version, 3);
            wl->managerName = name;
            wl->manager = static_cast<zwlr_screencopy_manager_v1*>(
                wl_registry_bind(registryProxy, name, &zwlr_screencopy_manager_v1_interface, wl->managerVersion));
        } else if (std::strcmp(interface, zxdg_output_manager_v1_interface.name) == 0 && wl->xdgManager == nullptr) {
            wl->xdgManager = static_cast<zxdg_output_manager_v1*>(wl_registry_bind(
                registryProxy, name, &zxdg_output_manager_v1_interface, std::min<std::uint32_t>(version, 3)));
            for (const std::unique_ptr<Output>& output : wl->outputs) {
                wl->describe(*output);
            }
        } else if (std::strcmp(interface, wl_output_interface.name) == 0) {
            auto output = std::make_unique<Output>();
            output->name = name;
            output->output = static_cast<wl_output*>(wl_registry_bind(registryProxy, name, &wl_output_interface, 1));
            wl->describe(*output);
            wl->outputs.push_back(std::move(output));
        }
    }

    static void globalRemove(void* data, wl_registry*, std::uint32_t name)
    {
        auto* wl = static_cast<Wayland*>(data);
        const auto gone = std::find_if(wl->outputs.begin(), wl->outputs.end(),
                                       [name](const std::unique_ptr<Output>& output) { return output->name == name; });
        if (gone != wl->outputs.end()) {
            forget(**gone);
            wl->outputs.erase(gone);
        } else if (name == wl->managerName && wl->manager != nullptr) {
            wl->reader->lose(QStringLiteral("the compositor no longer offers screen copy"));
        }
    }

    static void syncDone(void* data, wl_callback* callback, std::uint32_t)
    {
        auto* wl = static_cast<Wayland*>(data);
        wl_callback_destroy(callback);
        wl->sync = nullptr;
        wl->reader->synced(wl->syncStage);
    }

    static void logicalPosition(void* data, zxdg_output_v1*, std::int32_t x, std::int32_t y)
    {
        static_cast<Output*>(data)->position = QPoint(x, y);
    }
    static void logicalSize(void* data, zxdg_output_v1*, std::int32_t width, std::int32_t height)
    {
        static_cast<Output*>(data)->size = QSize(width, height);
    }
    static void xdgDone(void*, zxdg_output_v1*) {}
    static void xdgName(void*, zxdg_output_v1*, const char*) {}

    static WlrScreencopyRegionReader* frameReader(void* data, zwlr_screencopy_frame_v1* frame)
    {
        // Frames end with their look, so that no event of an earlier look reaches a later one; checked anyway.
        auto* reader = static_cast<WlrScreencopyRegionReader*>(data);
        return reader->m_look && reader->m_look->frame == frame ? reader : nullptr;
    }
    static void buffer(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t offeredFormat,
                       std::uint32_t offeredWidth, std::uint32_t offeredHeight, std::uint32_t offeredStride)
    {
        if (WlrScreencopyRegionReader* reader = frameReader(data, frame)) {
            reader->frameBuffer(offeredFormat, offeredWidth, offeredHeight, offeredStride);
        }
    }
    static void flags(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t value)
    {
        if (WlrScreencopyRegionReader* reader = frameReader(data, frame)) {
            reader->frameFlags(value);
        }
    }
    static void ready(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t, std::uint32_t, std::uint32_t)
    {
        if (WlrScreencopyRegionReader* reader = frameReader(data, frame)) {
            reader->frameReady();
        }
    }
    static void failed(void* data, zwlr_screencopy_frame_v1* frame)
    {
        if (WlrScreencopyRegionReader* reader = frameReader(data, frame)) {
            reader->frameFailed();
        }
    }
    static void damage(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t, std::uint32_t) {}
    static void dmabuf(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t, std::uint32_t) {}
    static void bufferDone(void* data, zwlr_screencopy_frame_v1* frame)
    {
        if (WlrScreencopyRegionReader* reader = frameReader(data, frame)) {
            reader->frameBufferDone();
        }
    }

    static constexpr wl_registry_listener registryListener{global, globalRemove};
    static constexpr wl_callback_listener syncListener{syncDone};
    static constexpr zxdg_output_v1_listener xdgOutputListener{logicalPosition, logicalSize, xdgDone, xdgName, xdgName};
    static constexpr zwlr_screencopy_frame_v1_listener frameListener{buffer, flags,  ready,     failed,
                                                                     damage, dmabuf, bufferDone};
};

std::unique_ptr<WlrScreencopyRegionReader> WlrScreencopyRegionReader::create(std::unique_ptr<RegionReader> fallback,
                                                                             QObject* parent)
{
    // Connecting is local and does not wait for the compositor; what it offers is asked without waiting too.
    wl_display* display = wl_display_connect(nullptr);
    if (display == nullptr) {
        return nullptr;
    }
    std::unique_ptr<WlrScreencopyRegionReader> reader(new WlrScreencopyRegionReader(std::move(fallback), parent));
    Wayland& wl = *reader->m_wl;
    wl.display = display;
    wl.registry = wl_display_get_registry(display);
    wl_registry_add_listener(wl.registry, &Wayland::registryListener, &wl);
    wl.syncAs(1);
    const int fd = wl_display_get_fd(display);
    reader->m_readable = new QSocketNotifier(fd, QSocketNotifier::Read, reader.get());
    connect(reader->m_readable, &QSocketNotifier::activated, reader.get(), [self = reader.get()] { self->serve(); });
    reader->m_writable = new QSocketNotifier(fd, QSocketNotifier::Write, reader.get());
    reader->m_writable->setEnabled(false);
    connect(reader->m_writable, &QSocketNotifier::activated, reader.get(), [self = reader.get()] { self->flush(); });
    reader->flush();
    return reader;
}

WlrScreencopyRegionReader::WlrScreencopyRegionReader(std::unique_ptr<RegionReader> fallback, QObject* parent)
    : QObject(parent)
    , m_wl(std::make_unique<Wayland>())
    , m_fallback(std::move(fallback))
{
    m_wl->reader = this;
    m_limit.setSingleShot(true);
    connect(&m_limit, &QTimer::timeout, this, [this] {
        end(Error::system(QStringLiteral("the compositor did not copy the watched region within %1 s")
                              .arg(std::chrono::seconds(timeLimit).count())));
    });
}

WlrScreencopyRegionReader::~WlrScreencopyRegionReader()
{
    abandon();
    // The notifiers go before the connection closes their descriptor.
    delete m_readable;
    delete m_writable;
    m_wl.reset();
}

QString WlrScreencopyRegionReader::name() const
{
    if (m_wl->state == Wayland::State::Unsupported && m_fallback) {
        return m_fallback->name();
    }
    return QStringLiteral("wlr-screencopy");
}

bool WlrScreencopyRegionReader::available() const
{
    switch (m_wl->state) {
    case Wayland::State::Discovering:
    case Wayland::State::Ready:
        return true;
    case Wayland::State::Unsupported:
        return m_fallback && m_fallback->available();
    case Wayland::State::Lost:
        break;
    }
    return false;
}

void WlrScreencopyRegionReader::setRegion(const QRect& region)
{
    m_region = region;
    m_wl->picture = -1;
    if (m_fallback) {
        m_fallback->setRegion(region);
    }
}

QImage WlrScreencopyRegionReader::picture() const
{
    const Wayland& wl = *m_wl;
    if (wl.state == Wayland::State::Unsupported && m_fallback) {
        return m_fallback->picture();
    }
    if (wl.picture < 0 || wl.memory == nullptr) {
        return {};
    }
    const bool bgr = wl.format == WL_SHM_FORMAT_XBGR8888 || wl.format == WL_SHM_FORMAT_ABGR8888;
    // The fourth byte is left out (alpha is not part of what the screen shows), as in the signature.
    const QImage view(wl.memory + std::size_t(wl.picture) * wl.bufferBytes, static_cast<int>(wl.width),
                      static_cast<int>(wl.height), static_cast<qsizetype>(wl.stride),
                      bgr ? QImage::Format_RGBX8888 : QImage::Format_RGB32);
    QImage copy = bgr ? view.convertToFormat(QImage::Format_RGB32) : view.copy();
    if (wl.pictureYInvert) {
        copy.mirror(false, true);
    }
    return copy;
}

Cancellation WlrScreencopyRegionReader::look(Completion<std::uint64_t> done)
{
    if (m_wl->state == Wayland::State::Unsupported && m_fallback) {
        return m_fallback->look(std::move(done));
    }
    auto once = std::make_shared<Once<std::uint64_t>>(std::move(done));
    if (m_look) {
        Once<std::uint64_t>::finishLater(once, Error::system(QStringLiteral("a look is already running")));
        return Cancellation([once] { Once<std::uint64_t>::cancel(once); });
    }
    auto look = std::make_shared<Look>();
    look->generation = ++m_generation;
    look->once = once;
    m_look = look;
    m_limit.start(timeLimit);
    switch (m_wl->state) {
    case Wayland::State::Discovering:
        break; // started when the globals are known
    case Wayland::State::Ready:
        start();
        break;
    case Wayland::State::Unsupported:
        end(Error::system(QStringLiteral("the compositor offers no screen copy")));
        break;
    case Wayland::State::Lost:
        end(Error::system(m_wl->lost));
        break;
    }
    QPointer<WlrScreencopyRegionReader> self(this);
    const std::uint64_t generation = look->generation;
    return Cancellation([self, once, generation] {
        if (self && self->m_look && self->m_look->generation == generation) {
            self->abandon();
        }
        Once<std::uint64_t>::cancel(once);
    });
}

void WlrScreencopyRegionReader::synced(int stage)
{
    Wayland& wl = *m_wl;
    if (wl.state != Wayland::State::Discovering) {
        return;
    }
    if (stage == 1) {
        if (wl.shm != nullptr && wl.manager != nullptr && wl.xdgManager != nullptr) {
            // The outputs' logical places come with the next answer.
            wl.syncAs(2);
            flush();
            return;
        }
        wl.state = Wayland::State::Unsupported;
        if (m_look && m_fallback) {
            // The look waiting for the globals goes to the fallback, still under the caller's handle.
            m_limit.stop(); // the fallback keeps a time limit of its own
            QPointer<WlrScreencopyRegionReader> self(this);
            const std::shared_ptr<Once<std::uint64_t>> once = m_look->once;
            const std::uint64_t generation = m_look->generation;
            m_look->delegated = m_fallback->look([self, once, generation](Outcome<std::uint64_t> outcome) {
                if (self && self->m_look && self->m_look->generation == generation) {
                    self->m_look.reset();
                }
                once->finish(std::move(outcome));
            });
        } else if (m_look) {
            end(Error::system(QStringLiteral("the compositor offers no screen copy")));
        }
        return;
    }
    wl.state = Wayland::State::Ready;
    if (m_look) {
        start();
    }
}

void WlrScreencopyRegionReader::start()
{
    Wayland& wl = *m_wl;
    if (m_region.isEmpty()) {
        end(Error::system(QStringLiteral("no region to watch")));
        return;
    }
    const Wayland::Output* on = nullptr;
    for (const std::unique_ptr<Wayland::Output>& output : wl.outputs) {
        if (!output->size.isEmpty() && QRect(output->position, output->size).contains(m_region)) {
            on = output.get();
            break;
        }
    }
    if (on == nullptr) {
        end(Error::system(QStringLiteral("the watched region %1,%2 %3x%4 does not lie within one screen")
                              .arg(m_region.x())
                              .arg(m_region.y())
                              .arg(m_region.width())
                              .arg(m_region.height())));
        return;
    }
    m_look->frame = zwlr_screencopy_manager_v1_capture_output_region(
        wl.manager, 0, on->output, m_region.x() - on->position.x(), m_region.y() - on->position.y(), m_region.width(),
        m_region.height());
    zwlr_screencopy_frame_v1_add_listener(m_look->frame, &Wayland::frameListener, this);
    flush();
}

void WlrScreencopyRegionReader::frameBuffer(std::uint32_t format, std::uint32_t width, std::uint32_t height,
                                            std::uint32_t stride)
{
    m_look->offered = true;
    m_look->format = format;
    m_look->width = width;
    m_look->height = height;
    m_look->stride = stride;
    if (m_wl->managerVersion < 3) {
        frameBufferDone(); // before version 3 the one buffer event is all there is
    }
}

void WlrScreencopyRegionReader::frameBufferDone()
{
    const Look& look = *m_look;
    if (!look.offered) {
        end(Error::system(QStringLiteral("the compositor offers the region in no shared memory buffer")));
        return;
    }
    if (!readable(look.format)) {
        end(Error::system(
            QStringLiteral("the compositor offers the region in pixel format 0x%1, which is not read here")
                .arg(look.format, 8, 16, QLatin1Char('0'))));
        return;
    }
    if (look.width == 0 || look.height == 0 || look.width > largestSide || look.height > largestSide ||
        look.stride < look.width * 4 || std::size_t(look.stride) * look.height > largestBuffer) {
        end(Error::system(QStringLiteral("the compositor offers a buffer of %1x%2 (%3 bytes a row) for the region")
                              .arg(look.width)
                              .arg(look.height)
                              .arg(look.stride)));
        return;
    }
    Wayland& wl = *m_wl;
    if (!wl.ensureBuffers(look.format, look.width, look.height, look.stride)) {
        end(Error::system(QStringLiteral("no shared memory for the region's pixels: %1")
                              .arg(QString::fromLocal8Bit(std::strerror(errno)))));
        return;
    }
    m_look->buffer = wl.picture == 0 ? 1 : 0;
    zwlr_screencopy_frame_v1_copy(m_look->frame, wl.buffers[m_look->buffer]);
    flush();
}

void WlrScreencopyRegionReader::frameFlags(std::uint32_t flags)
{
    m_look->yInvert = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
}

void WlrScreencopyRegionReader::frameReady()
{
    Wayland& wl = *m_wl;
    if (m_look->buffer < 0) {
        end(Error::system(QStringLiteral("the compositor answered a copy that was not asked for")));
        return;
    }
    wl.picture = m_look->buffer;
    wl.pictureYInvert = m_look->yInvert;
    const uchar* pixels = wl.memory + std::size_t(wl.picture) * wl.bufferBytes;
    end(signature(pixels, static_cast<int>(wl.height), static_cast<qsizetype>(wl.stride), qsizetype(wl.width) * 4));
}

void WlrScreencopyRegionReader::frameFailed()
{
    end(Error::system(QStringLiteral("the compositor could not copy the watched region")));
}

void WlrScreencopyRegionReader::end(Outcome<std::uint64_t> outcome)
{
    const std::shared_ptr<Look> look = std::exchange(m_look, nullptr);
    if (!look) {
        return;
    }
    m_limit.stop();
    if (look->frame != nullptr) {
        zwlr_screencopy_frame_v1_destroy(look->frame);
        flush();
    }
    Once<std::uint64_t>::finishLater(look->once, std::move(outcome));
}

void WlrScreencopyRegionReader::abandon()
{
    const std::shared_ptr<Look> look = std::exchange(m_look, nullptr);
    if (!look) {
        return;
    }
    m_limit.stop();
    look->delegated.cancel();
    if (look->frame != nullptr) {
        zwlr_screencopy_frame_v1_destroy(look->frame);
        flush();
    }
}

void WlrScreencopyRegionReader::lose(const QString& why)
{
    Wayland& wl = *m_wl;
    if (wl.state == Wayland::State::Lost) {
        return;
    }
    wl.state = Wayland::State::Lost;
    wl.lost = why;
    m_readable->setEnabled(false);
    m_writable->setEnabled(false);
    end(Error::system(why));
}

void WlrScreencopyRegionReader::flush()
{
    Wayland& wl = *m_wl;
    if (wl.state == Wayland::State::Lost) {
        return;
    }
    if (wl_display_flush(wl.display) >= 0) {
        m_writable->setEnabled(false);
    } else if (errno == EAGAIN) {
        m_writable->setEnabled(true); // the rest goes when the socket has room
    } else {
        lose(QStringLiteral("the connection to the compositor was lost"));
    }
}

void WlrScreencopyRegionReader::serve()
{
    Wayland& wl = *m_wl;
    if (wl.state == Wayland::State::Lost) {
        return;
    }
    // Reads what the socket holds (never waiting for more) and hands it to the listeners.
    bool broken = false;
    while (!broken && wl_display_prepare_read(wl.display) != 0) {
        broken = wl_display_dispatch_pending(wl.display) < 0;
    }
    if (!broken) {
        broken = wl_display_read_events(wl.display) < 0 || wl_display_dispatch_pending(wl.display) < 0;
    }
    if (broken || wl_display_get_error(wl.display) != 0) {
        lose(QStringLiteral("the connection to the compositor was lost"));
        return;
    }
    flush();
}

} // namespace quilvant
