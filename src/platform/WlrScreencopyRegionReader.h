#pragma once

#include "platform/RegionReader.h"

#include <QObject>
#include <QTimer>
#include <chrono>
#include <memory>

class QSocketNotifier;

namespace quilvant {

// A region of a wlroots desktop (sway, Hyprland) read through the compositor's screen copy protocol on a
// Wayland connection of the reader's own, no process per look: each look asks for a copy of the region into one
// of two shared memory buffers (the other holds the last picture), kept from look to look while the size and
// format stay, and takes the signature from the compositor's pixels in place. The connection is served from the
// event loop and never waited on; a look ends at the time limit at the latest.
//
// Which globals the compositor offers is learnt in the background after create(), and a look before that waits
// for it; a compositor without screen copy (or without the output geometry it needs) hands every look to
// `fallback`. Regions are in the output layout's logical coordinates and must lie within one output; the
// picture is in the output's buffer pixels (twice the region's size on a scale-2 output).
class WlrScreencopyRegionReader final : public QObject, public RegionReader
{
    Q_OBJECT

public:
    static constexpr std::chrono::seconds timeLimit{5};

    // nullptr when no Wayland display can be reached.
    static std::unique_ptr<WlrScreencopyRegionReader> create(std::unique_ptr<RegionReader> fallback,
                                                             QObject* parent = nullptr);
    // A running look is dropped without an end; the connection is closed.
    ~WlrScreencopyRegionReader() override;

    // "wlr-screencopy", or the fallback's name once the compositor was found not to offer screen copy.
    QString name() const override;
    bool available() const override;
    void setRegion(const QRect& region) override;
    Cancellation look(Completion<std::uint64_t> done) override;
    QImage picture() const override;

private:
    struct Wayland;

    explicit WlrScreencopyRegionReader(std::unique_ptr<RegionReader> fallback, QObject* parent);

    struct Look;
    void serve();
    void flush();
    void synced(int stage);
    void start();
    void end(Outcome<std::uint64_t> outcome);
    void abandon();
    void lose(const QString& why);
    // Frame events, by the compositor.
    void frameBuffer(std::uint32_t format, std::uint32_t width, std::uint32_t height, std::uint32_t stride);
    void frameBufferDone();
    void frameFlags(std::uint32_t flags);
    void frameReady();
    void frameFailed();

    std::unique_ptr<Wayland> m_wl;
    std::unique_ptr<RegionReader> m_fallback;
    QSocketNotifier* m_readable = nullptr;
    QSocketNotifier* m_writable = nullptr; // on while requests wait for room in the socket
    QTimer m_limit;
    QRect m_region;
    std::shared_ptr<Look> m_look; // the running look (or the one waiting for the globals)
    std::uint64_t m_generation = 0;
};

} // namespace quilvant
