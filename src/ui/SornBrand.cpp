#include "ui/SornBrand.h"

#include <QPainter>

namespace quilvant::SornBrand {

namespace {

// Corner brackets of a selection rectangle around a speech bubble: what the program does, drawn as straight
// segments and quadratic curves.
QPainterPath buildOutline()
{
    QPainterPath path;
    path.setFillRule(Qt::WindingFill);

    // Four selection corners, each an L of 30-unit strokes with a rounded outer corner.
    const auto corner = [&path](QPointF origin, qreal sx, qreal sy) {
        const auto p = [&](qreal x, qreal y) { return QPointF(origin.x() + sx * x, origin.y() + sy * y); };
        path.moveTo(p(0, 40));
        path.quadTo(p(0, 0), p(40, 0));
        path.lineTo(p(104, 0));
        path.lineTo(p(104, 30));
        path.lineTo(p(46, 30));
        path.quadTo(p(30, 30), p(30, 46));
        path.lineTo(p(30, 104));
        path.lineTo(p(0, 104));
        path.closeSubpath();
    };
    corner({16, 16}, 1, 1);
    corner({326, 16}, -1, 1);
    corner({16, 326}, 1, -1);
    corner({326, 326}, -1, -1);

    // The bubble: a rounded body with a tail towards the lower left.
    path.moveTo(118, 98);
    path.lineTo(224, 98);
    path.quadTo(262, 98, 262, 136);
    path.lineTo(262, 190);
    path.quadTo(262, 228, 224, 228);
    path.lineTo(160, 228);
    path.lineTo(112, 262);
    path.lineTo(120, 228);
    path.quadTo(80, 226, 80, 190);
    path.lineTo(80, 136);
    path.quadTo(80, 98, 118, 98);
    path.closeSubpath();
    return path;
}

// The application icon's square, in grid units: corner radius and the mark's inset.
constexpr qreal kIconRadius = 72;
constexpr qreal kIconInset = 44;

QString number(qreal value)
{
    return QString::number(value, 'g', 6);
}

// The outline in SVG path syntax, shrunk to fit inside `inset` grid units on every side. QPainterPath keeps
// quadratic curves as cubic ones.
QString pathData(qreal inset)
{
    const QPainterPath& path = outline();
    const qreal scale = (342.0 - 2 * inset) / 342.0;
    const auto point = [&](const QPainterPath::Element& e) -> QString {
        return number(inset + e.x * scale) + QLatin1Char(' ') + number(inset + e.y * scale);
    };
    QString d;
    for (int i = 0; i < path.elementCount(); ++i) {
        const QPainterPath::Element e = path.elementAt(i);
        switch (e.type) {
        case QPainterPath::MoveToElement:
            d += (d.isEmpty() ? QString() : QStringLiteral("Z ")) + QStringLiteral("M ") + point(e) + QLatin1Char(' ');
            break;
        case QPainterPath::LineToElement:
            d += QStringLiteral("L ") + point(e) + QLatin1Char(' ');
            break;
        case QPainterPath::CurveToElement:
            d += QStringLiteral("C ") + point(e) + QLatin1Char(' ');
            break;
        case QPainterPath::CurveToDataElement:
            d += point(e) + QLatin1Char(' ');
            break;
        }
    }
    return d + QLatin1Char('Z');
}

} // namespace

const QPainterPath& outline()
{
    static const QPainterPath path = buildOutline();
    return path;
}

void drawMark(QPainter* painter, const QRectF& rect, const QColor& color)
{
    if (painter == nullptr || !painter->isActive()) {
        return;
    }
    painter->save();
    painter->translate(rect.topLeft());
    painter->scale(rect.width() / 342.0, rect.height() / 342.0);
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(color);
    painter->drawPath(outline());
    painter->restore();
}

QColor color()
{
    return QColor::fromRgbF(0.16F, 0.48F, 0.51F);
}

void drawAppIcon(QPainter* painter, const QRectF& rect)
{
    if (painter == nullptr || !painter->isActive()) {
        return;
    }
    const qreal scale = rect.width() / 342.0;
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing);
    painter->setPen(Qt::NoPen);
    painter->setBrush(color());
    painter->drawRoundedRect(rect, kIconRadius * scale, kIconRadius * scale);
    painter->restore();
    const qreal inset = kIconInset * scale;
    drawMark(painter, rect.adjusted(inset, inset, -inset, -inset), Qt::white);
}

QByteArray appIconSvg()
{
    const QString svg =
        QStringLiteral(R"(<svg xmlns="http://www.w3.org/2000/svg" width="342" height="342" viewBox="0 0 342 342">
  <rect width="342" height="342" rx="%1" fill="%2"/>
  <path fill="#ffffff" fill-rule="nonzero" d="%3"/>
</svg>
)")
            .arg(number(kIconRadius), color().name(), pathData(kIconInset));
    return svg.toUtf8();
}

QByteArray markSvg(const QColor& fill)
{
    const QString svg =
        QStringLiteral(R"(<svg xmlns="http://www.w3.org/2000/svg" width="16" height="16" viewBox="0 0 342 342">
  <style id="current-color-scheme" type="text/css">.ColorScheme-Text { color: %1; }</style>
  <path class="ColorScheme-Text" fill="currentColor" fill-rule="nonzero" d="%2"/>
</svg>
)")
            .arg(fill.name(), pathData(0));
    return svg.toUtf8();
}

QImage mark(qreal size, const QColor& color, bool isTemplate, qreal devicePixelRatio)
{
    const int pixels = qMax(1, qRound(size * devicePixelRatio));
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    image.setDevicePixelRatio(devicePixelRatio);
    {
        QPainter painter(&image);
        drawMark(&painter, QRectF(0, 0, size, size), color);
    }
    image.setText(QStringLiteral("Description"), QStringLiteral("Sorn · 框选翻译"));
    if (isTemplate) {
        image.setText(QStringLiteral("template"), QStringLiteral("true"));
    }
    return image;
}

} // namespace quilvant::SornBrand
