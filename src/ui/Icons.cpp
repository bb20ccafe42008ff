#include "ui/Icons.h"

#include <QFile>
#include <QHash>
#include <QPainter>
#include <QSvgRenderer>

namespace quilvant::Icons {

namespace {

QString resourcePath(const QString& symbol)
{
    return QStringLiteral(":/icons/") + symbol + QStringLiteral(".svg");
}

QSvgRenderer* renderer(const QString& symbol)
{
    // Kept for the life of the process (never destroyed after the application object).
    static auto& renderers = *new QHash<QString, QSvgRenderer*>;
    const auto found = renderers.constFind(symbol);
    if (found != renderers.cend()) {
        return *found;
    }
    QSvgRenderer* loaded = nullptr;
    if (QFile::exists(resourcePath(symbol))) {
        loaded = new QSvgRenderer(resourcePath(symbol));
        if (!loaded->isValid()) {
            delete loaded;
            loaded = nullptr;
        }
    }
    renderers.insert(symbol, loaded);
    return loaded;
}

} // namespace

bool has(const QString& symbol)
{
    return renderer(symbol) != nullptr;
}

QPixmap pixmap(const QString& symbol, qreal size, const QColor& colour, qreal devicePixelRatio)
{
    QSvgRenderer* svg = renderer(symbol);
    if (svg == nullptr || size <= 0) {
        return {};
    }
    const int pixels = qMax(1, qRound(size * devicePixelRatio));
    const QString key = QStringLiteral("%1/%2/%3").arg(symbol).arg(pixels).arg(colour.rgba(), 8, 16);
    static auto& cache = *new QHash<QString, QPixmap>;
    const auto cached = cache.constFind(key);
    if (cached != cache.cend()) {
        return *cached;
    }
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter painter(&image);
        painter.setRenderHint(QPainter::Antialiasing);
        svg->render(&painter, QRectF(0, 0, pixels, pixels));
        // The drawing is black; keep its coverage and take the colour.
        painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
        painter.fillRect(image.rect(), colour);
    }
    QPixmap result = QPixmap::fromImage(image);
    result.setDevicePixelRatio(devicePixelRatio);
    // A handful of symbols in a few sizes, colours and scales: the cache stays small.
    if (cache.size() > 512) {
        cache.clear();
    }
    cache.insert(key, result);
    return result;
}

void paint(QPainter* painter, const QRectF& rect, const QString& symbol, qreal size, const QColor& colour)
{
    if (painter == nullptr || !painter->isActive()) {
        return;
    }
    const qreal ratio = painter->device() != nullptr ? painter->device()->devicePixelRatioF() : 1.0;
    const QPixmap icon = pixmap(symbol, size, colour, ratio);
    if (icon.isNull()) {
        return;
    }
    const QPointF topLeft(rect.center().x() - size / 2, rect.center().y() - size / 2);
    // Whole device pixels keep the edges crisp at fractional scales.
    const QPointF snapped(qRound(topLeft.x() * ratio) / ratio, qRound(topLeft.y() * ratio) / ratio);
    painter->drawPixmap(snapped, icon);
}

} // namespace quilvant::Icons
