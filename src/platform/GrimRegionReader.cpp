#include "platform/GrimRegionReader.h"

#include <QPointer>
#include <thread>

namespace quilvant {

struct GrimRegionReader::Run
{
    Runner runner;
    std::thread thread;
};

GrimRegionReader::GrimRegionReader(QObject* parent)
    : QObject(parent)
{}

GrimRegionReader::~GrimRegionReader()
{
    if (m_run) {
        m_run->runner.terminate();
        if (m_run->thread.joinable()) {
            m_run->thread.join();
        }
    }
}

bool GrimRegionReader::available() const
{
    return Runner::locate(QStringLiteral("grim")).has_value();
}

QString GrimRegionReader::geometry(const QRect& region)
{
    return QStringLiteral("%1,%2 %3x%4").arg(region.x()).arg(region.y()).arg(region.width()).arg(region.height());
}

Cancellation GrimRegionReader::look(Completion<std::uint64_t> done)
{
    auto once = std::make_shared<Once<std::uint64_t>>(std::move(done));
    if (m_run || m_region.isEmpty()) {
        Once<std::uint64_t>::finishLater(once, Error::system(m_run ? QStringLiteral("a look is already running")
                                                                   : QStringLiteral("no region to watch")));
        return Cancellation([once] { Once<std::uint64_t>::cancel(once); });
    }
    auto run = std::make_shared<Run>();
    m_run = run;
    QPointer<GrimRegionReader> self(this);
    const QStringList arguments{QStringLiteral("-t"), QStringLiteral("ppm"), QStringLiteral("-g"), geometry(m_region),
                                QStringLiteral("-")};
    run->thread = std::thread([self, run, once, arguments] {
        const Outcome<Runner::Result> result = run->runner.run(QStringLiteral("grim"), arguments, timeLimit);
        QImage image;
        QString failure;
        if (!result) {
            failure = result.error().description();
        } else if (result.value().status != 0 || result.value().outputCut ||
                   !image.loadFromData(result.value().output, "PPM")) {
            failure = QStringLiteral("grim did not give the region's pixels (status %1)").arg(result.value().status);
        } else {
            image = image.convertToFormat(QImage::Format_RGB32);
        }
        QMetaObject::invokeMethod(
            self.data(),
            [self, run, once, image = std::move(image), failure]() mutable {
                if (run->thread.joinable()) {
                    run->thread.join();
                }
                if (!self) {
                    return;
                }
                self->m_run.reset();
                if (!failure.isEmpty()) {
                    once->finish(Error::system(failure));
                    return;
                }
                const std::uint64_t signature = RegionReader::signature(
                    image.constBits(), image.height(), image.bytesPerLine(), qsizetype(image.width()) * 4);
                self->m_picture = std::move(image);
                once->finish(signature);
            },
            Qt::QueuedConnection);
    });
    std::weak_ptr<Run> weak = run;
    return Cancellation([once, weak] {
        if (const std::shared_ptr<Run> running = weak.lock()) {
            running->runner.terminate();
        }
        Once<std::uint64_t>::cancel(once);
    });
}

} // namespace quilvant
