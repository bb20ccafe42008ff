#include "support/DrawnText.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <algorithm>

namespace quilvant::test {

namespace {

// The vertical presentation forms of the punctuation a vertical layout turns.
QString upright(char32_t c)
{
    switch (c) {
    case U'。':
        return QStringLiteral("\uFE12");
    case U'、':
        return QStringLiteral("\uFE11");
    case U'，':
        return QStringLiteral("\uFE10");
    case U'「':
        return QStringLiteral("\uFE41");
    case U'」':
        return QStringLiteral("\uFE42");
    default:
        return QString::fromUcs4(&c, 1);
    }
}

} // namespace

QImage draw(const DrawnText& text)
{
    QFont font;
    if (!text.family.isEmpty()) {
        font.setFamily(text.family);
    }
    font.setPixelSize(text.pixelSize);
    const QFontMetricsF metrics(font);
    const int size = text.pixelSize;
    const int step = int(size * text.spacing);
    const int count = int(text.lines.size());
    qreal longest = 0;
    for (const QString& line : text.lines) {
        longest = std::max(longest,
                           text.vertical ? qreal(int(line.toUcs4().size()) * size) : metrics.horizontalAdvance(line));
    }
    const int across = step * (count - 1) + size + 4 * size;
    const int along = int(longest) + 4 * size;
    QImage image(text.vertical ? across : along, text.vertical ? along : across, QImage::Format_RGB32);
    image.fill(text.dark ? QColor(30, 30, 30) : QColor(Qt::white));
    QPainter painter(&image);
    painter.setFont(font);
    painter.setPen(text.dark ? QColor(235, 235, 235) : QColor(Qt::black));
    for (int i = 0; i < count; ++i) {
        if (!text.vertical) {
            painter.drawText(QPointF(2 * size, 2 * size + i * step + metrics.ascent()), text.lines[i]);
            continue;
        }
        const int left = image.width() - 2 * size - size - i * step;
        const QList<uint> characters = text.lines[i].toUcs4();
        for (qsizetype k = 0; k < characters.size(); ++k) {
            painter.drawText(QRectF(left, 2 * size + k * size, size, size), Qt::AlignCenter, upright(characters[k]));
        }
    }
    return image;
}

} // namespace quilvant::test
