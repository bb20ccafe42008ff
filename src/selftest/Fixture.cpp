#include "selftest/Fixture.h"

#include "core/PrivateTempDir.h"
#include "recognition/Translation.h"

#include <QDir>
#include <QFile>
#include <QFont>
#include <QFontDatabase>
#include <QFontMetricsF>
#include <QPainter>
#include <QUuid>

namespace quilvant::Fixture {

QImage draw(const QString& text, QSize size, QPointF origin, int pointSize)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    QFont font = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    font.setPixelSize(pointSize); // the image has one pixel per point
    painter.setFont(font);
    painter.setPen(Qt::black);
    const QFontMetricsF metrics(font);
    const qreal lineBottom = size.height() - origin.y();
    painter.drawText(QPointF(origin.x(), lineBottom - metrics.descent()), text);
    return image;
}

Outcome<QString> write(const QImage& image, const QString& prefix)
{
    const Outcome<QString> folder = PrivateTempDir::path();
    if (!folder) {
        return folder.error();
    }
    const QString path =
        QDir(folder.value())
            .filePath(prefix + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + QStringLiteral(".png"));
    if (!image.save(path, "PNG")) {
        QFile::remove(path);
        return Error::system(QStringLiteral("Cannot write the fixture image %1").arg(path));
    }
    return path;
}

Outcome<QString> recognize(const QImage& image, const QString& prefix)
{
    const Outcome<QString> path = write(image, prefix);
    if (!path) {
        return path.error();
    }
    Outcome<QString> text = Translation::recognizeFile(path.value());
    QFile::remove(path.value());
    return text;
}

} // namespace quilvant::Fixture
