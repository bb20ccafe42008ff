#include "app/TrayIcon.h"

#include "ui/SornBrand.h"

#include <QIconEngine>
#include <QPainter>
#include <QPixmap>

namespace quilvant::TrayIcon {

namespace {

// Pixmaps of the colour icon at any size, under the name a StatusNotifier host looks up in the theme.
class PanelIconEngine final : public QIconEngine
{
public:
    explicit PanelIconEngine(QString themeName)
        : m_themeName(std::move(themeName))
    {}

    void paint(QPainter* painter, const QRect& rect, QIcon::Mode, QIcon::State) override
    {
        const qreal side = qMin(rect.width(), rect.height());
        const QRectF square(rect.x() + (rect.width() - side) / 2.0, rect.y() + (rect.height() - side) / 2.0, side,
                            side);
        SornBrand::drawAppIcon(painter, square);
    }

    QPixmap pixmap(const QSize& size, QIcon::Mode mode, QIcon::State state) override
    {
        QPixmap drawn(size);
        drawn.fill(Qt::transparent);
        QPainter painter(&drawn);
        paint(&painter, QRect(QPoint(), size), mode, state);
        return drawn;
    }

    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override
    {
        return {{16, 16}, {22, 22}, {24, 24}, {32, 32}, {48, 48}, {64, 64}};
    }

    QString iconName() override { return m_themeName; }
    QString key() const override { return QStringLiteral("quilvant-panel"); }
    QIconEngine* clone() const override { return new PanelIconEngine(m_themeName); }

private:
    QString m_themeName;
};

} // namespace

QIcon forPanel()
{
    const QString symbolic = QStringLiteral(QUILVANT_ICON_NAME "-symbolic");
    return QIcon(new PanelIconEngine(QIcon::hasThemeIcon(symbolic) ? symbolic : QString()));
}

} // namespace quilvant::TrayIcon
