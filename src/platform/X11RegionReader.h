#pragma once

#include "platform/RegionReader.h"
#include "platform/X11Connection.h"

#include <memory>

namespace quilvant {

// A region read straight from the X server, no process per look: GetImage of the root window into a shared
// memory segment (MIT-SHM) where the server offers it, so that a look costs one round trip and no copy through
// the socket; plain GetImage where it does not (a remote display). The signature is taken from the server's
// pixels in place; picture() copies them out.
class X11RegionReader final : public RegionReader
{
public:
    // nullptr without an X display or when its pixels are not 32 bits wide.
    static std::unique_ptr<X11RegionReader> create();
    // `useShm` false reads through the socket even where MIT-SHM is there.
    static std::unique_ptr<X11RegionReader> create(bool useShm);
    ~X11RegionReader() override;

    QString name() const override;
    bool available() const override { return true; }
    void setRegion(const QRect& region) override;
    Cancellation look(Completion<std::uint64_t> done) override;
    QImage picture() const override;

private:
    explicit X11RegionReader(std::unique_ptr<X11Connection> connection);
    Outcome<std::uint64_t> lookNow();
    bool attachSegment(qsizetype bytes);
    void detachSegment();

    std::unique_ptr<X11Connection> m_x;
    QRect m_region;
    bool m_shm = false;
    std::uint32_t m_segment = 0; // the server's name of the attached segment, 0 when none
    uchar* m_memory = nullptr;
    qsizetype m_capacity = 0;
    QByteArray m_socketPixels; // the last look's pixels without MIT-SHM
    QSize m_lookedSize;
};

} // namespace quilvant
