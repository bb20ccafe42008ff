#pragma once

#include "core/Async.h"

#include <QImage>
#include <QRect>
#include <QString>
#include <cstdint>

namespace quilvant {

// Looks at one region of the screen again and again, as cheaply as the session allows: each look gives a
// signature of the pixels (equal signatures: the same picture), and only when asked are the pixels of the last
// look copied out. The region is in the display's own pixels (X11 root or Wayland output layout coordinates).
class RegionReader
{
public:
    virtual ~RegionReader() = default;

    // How logs name the reader ("x11-shm", "x11", "wlr-screencopy", "grim").
    virtual QString name() const = 0;
    // Whether this session lets the program look at the screen again and again (false on desktops that ask the
    // person for each picture).
    virtual bool available() const = 0;
    // The region every later look reads.
    virtual void setRegion(const QRect& region) = 0;
    // One look: ends with the signature, on the calling thread, never inside this call. A region the screen does
    // not (or no longer) cover fails.
    virtual Cancellation look(Completion<std::uint64_t> done) = 0;
    // The pixels of the last successful look (null before the first).
    virtual QImage picture() const = 0;

    // The signature of `bytes`, rows of `rowBytes` of which the first `usedBytes` are picture, pixels of four
    // bytes whose fourth (padding on 24-bit X visuals, alpha elsewhere) is left out.
    static std::uint64_t signature(const uchar* bytes, int rows, qsizetype rowBytes, qsizetype usedBytes);
};

// Where no region can be watched: every look fails with `reason`.
class NullRegionReader final : public RegionReader
{
public:
    explicit NullRegionReader(QString reason)
        : m_reason(std::move(reason))
    {}
    QString name() const override { return QStringLiteral("none"); }
    bool available() const override { return false; }
    void setRegion(const QRect&) override {}
    Cancellation look(Completion<std::uint64_t> done) override;
    QImage picture() const override { return {}; }

private:
    QString m_reason;
};

} // namespace quilvant
