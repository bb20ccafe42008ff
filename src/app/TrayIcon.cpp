#include "app/TrayIcon.h"

#include "ui/SornBrand.h"

#include <QPixmap>

namespace quilvant::TrayIcon {

QIcon forPanel(bool darkPanel)
{
    QIcon icon = QIcon::fromTheme(QStringLiteral(QUILVANT_ICON_NAME "-symbolic"));
    if (!icon.isNull()) {
        return icon;
    }
    const QColor ink = darkPanel ? QColor(Qt::white) : QColor(Qt::black);
    for (const qreal size : {16.0, 22.0, 24.0, 32.0, 48.0, 64.0}) {
        icon.addPixmap(QPixmap::fromImage(SornBrand::mark(size, ink, true)));
    }
    return icon;
}

} // namespace quilvant::TrayIcon
