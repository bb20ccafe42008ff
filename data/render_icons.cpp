// Build-time tool: writes the application icon into a hicolor tree, as SVG and as PNGs, from the brand mark
// the program itself draws.
#include "ui/SornBrand.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fputs("usage: render_icons OUTPUT_DIR ICON_NAME\n", stderr);
        return 2;
    }
    const QString root = QString::fromLocal8Bit(argv[1]);
    const QString name = QString::fromLocal8Bit(argv[2]);
    const auto write = [](const QString& path, const QByteArray& bytes) {
        QFile file(path);
        return QDir().mkpath(QFileInfo(path).path()) && file.open(QIODevice::WriteOnly) &&
               file.write(bytes) == bytes.size() && file.flush();
    };
    if (!write(root + QStringLiteral("/scalable/apps/") + name + QStringLiteral(".svg"),
               quilvant::SornBrand::appIconSvg())) {
        std::fprintf(stderr, "render_icons: cannot write the SVG icon under %s\n", argv[1]);
        return 1;
    }
    if (!write(root + QStringLiteral("/symbolic/apps/") + name + QStringLiteral("-symbolic.svg"),
               quilvant::SornBrand::markSvg(QColor(0xbe, 0xbe, 0xbe)))) {
        std::fprintf(stderr, "render_icons: cannot write the symbolic icon under %s\n", argv[1]);
        return 1;
    }
    for (const int size : {16, 22, 24, 32, 48, 64, 128, 256}) {
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter painter(&image);
            quilvant::SornBrand::drawAppIcon(&painter, QRectF(0, 0, size, size));
        }
        const QString dir = QStringLiteral("%1/%2x%2/apps").arg(root).arg(size);
        if (!QDir().mkpath(dir) || !image.save(dir + QLatin1Char('/') + name + QStringLiteral(".png"), "PNG")) {
            std::fprintf(stderr, "render_icons: cannot write the %dpx icon\n", size);
            return 1;
        }
    }
    return 0;
}
