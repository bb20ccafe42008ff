#include "ui/SornPalette.h"

namespace quilvant {

const QColor& SornPalette::accent()
{
    static const QColor colour = QColor::fromRgbF(0.16f, 0.48f, 0.51f, 1.0f);
    return colour;
}

Theme Theme::forLook(bool dark)
{
    Theme theme;
    theme.dark = dark;
    theme.primary = theme.ink(0.86);
    theme.secondary = theme.ink(dark ? 0.56 : 0.52);
    theme.tertiary = theme.ink(dark ? 0.34 : 0.32);
    // Without a blur behind the window, a nearly opaque background keeps the text readable over anything.
    theme.material = dark ? QColor(38, 39, 41, 240) : QColor(248, 248, 247, 242);
    // Orange as the error colour; darker in the light look to keep its contrast on a pale background.
    theme.warning = dark ? QColor(255, 159, 10) : QColor(201, 104, 0);
    theme.window = dark ? QColor(32, 33, 35) : QColor(242, 242, 240);
    theme.grouped = dark ? QColor(44, 45, 48) : QColor(255, 255, 255);
    return theme;
}

QColor Theme::accentInk() const
{
    return dark ? SornPalette::accent().lighter(165) : SornPalette::accent();
}

QColor Theme::ink(qreal opacity) const
{
    QColor colour = dark ? QColor(255, 255, 255) : QColor(0, 0, 0);
    colour.setAlphaF(static_cast<float>(opacity));
    return colour;
}

QColor Theme::opaqueMaterial() const
{
    QColor colour = material;
    colour.setAlpha(255);
    return colour;
}

QPalette Theme::widgetPalette() const
{
    // Text colours are made opaque against the background they sit on: fields and menus paint no translucency.
    const auto solid = [this](qreal opacity) {
        const QColor background = window;
        const QColor over = ink(1.0);
        const auto mix = [opacity](int a, int b) { return qRound(a + (b - a) * opacity); };
        return QColor(mix(background.red(), over.red()), mix(background.green(), over.green()),
                      mix(background.blue(), over.blue()));
    };
    QPalette palette;
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, solid(0.86));
    palette.setColor(QPalette::Base, grouped);
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::Text, solid(0.86));
    palette.setColor(QPalette::PlaceholderText, solid(0.4));
    palette.setColor(QPalette::Button, dark ? QColor(58, 59, 62) : QColor(250, 250, 249));
    palette.setColor(QPalette::ButtonText, solid(0.86));
    palette.setColor(QPalette::BrightText, Qt::white);
    palette.setColor(QPalette::Highlight, SornPalette::accent());
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Link, SornPalette::accent());
    palette.setColor(QPalette::ToolTipBase, grouped);
    palette.setColor(QPalette::ToolTipText, solid(0.86));
    palette.setColor(QPalette::Light, dark ? QColor(80, 81, 84) : QColor(255, 255, 255));
    palette.setColor(QPalette::Midlight, dark ? QColor(66, 67, 70) : QColor(235, 235, 233));
    palette.setColor(QPalette::Mid, dark ? QColor(52, 53, 56) : QColor(200, 200, 198));
    palette.setColor(QPalette::Dark, dark ? QColor(20, 20, 22) : QColor(160, 160, 158));
    palette.setColor(QPalette::Shadow, QColor(0, 0, 0));
    for (const QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        palette.setColor(QPalette::Disabled, role, solid(0.35));
    }
    return palette;
}

} // namespace quilvant
