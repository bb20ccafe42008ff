#pragma once

#include "core/Runner.h"
#include "platform/RegionReader.h"

#include <QObject>
#include <memory>

namespace quilvant {

// A region of a wlroots desktop (sway, Hyprland) read by `grim -t ppm -g REGION -`, one run per look on a
// thread of its own: uncompressed, so that the run costs little more than the compositor's copy.
class GrimRegionReader final : public QObject, public RegionReader
{
    Q_OBJECT

public:
    static constexpr std::chrono::seconds timeLimit{5};

    explicit GrimRegionReader(QObject* parent = nullptr);
    // Ends a running look and waits for its thread.
    ~GrimRegionReader() override;

    QString name() const override { return QStringLiteral("grim"); }
    bool available() const override;
    void setRegion(const QRect& region) override { m_region = region; }
    Cancellation look(Completion<std::uint64_t> done) override;
    QImage picture() const override { return m_picture; }

    // grim's -g argument for `region`: "X,Y WxH".
    static QString geometry(const QRect& region);

private:
    struct Run;
    QRect m_region;
    QImage m_picture;
    std::shared_ptr<Run> m_run;
};

} // namespace quilvant
