#pragma once

#include "selftest/Fixture.h"

#include <QImage>
#include <QPainter>
#include <QWidget>

namespace quilvant::test {

// A window of the test's own, outside any window manager, whose text is drawn as the recognition fixtures are:
// a region to watch whose pixels change when the text does.
class TextWindow final : public QWidget
{
public:
    explicit TextWindow(const QRect& geometry)
        : QWidget(nullptr, Qt::X11BypassWindowManagerHint | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint)
    {
        setGeometry(geometry);
        show();
    }
    void showText(const QString& text, int pointSize = 30)
    {
        m_image = Fixture::draw(text, size(), {24, 110}, pointSize);
        repaint();
    }

protected:
    void paintEvent(QPaintEvent*) override { QPainter(this).drawImage(0, 0, m_image); }

private:
    QImage m_image;
};

} // namespace quilvant::test
