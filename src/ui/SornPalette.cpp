#include "ui/SornPalette.h"

#include <algorithm>
#include <cmath>

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
    // Every text keeps at least 4.5:1 against the backgrounds it is drawn on, the hints and the small status
    // line included; the steps between primary, secondary and tertiary stay visible above that floor.
    theme.primary = theme.ink(0.86);
    theme.secondary = theme.ink(dark ? 0.62 : 0.62);
    theme.tertiary = theme.ink(dark ? 0.52 : 0.56);
    // Without a blur behind the window, a nearly opaque background keeps the text readable over anything.
    theme.material = dark ? QColor(38, 39, 41, 240) : QColor(248, 248, 247, 242);
    // Orange as the error colour; darker in the light look to keep its contrast on a pale background.
    theme.warning = dark ? QColor(255, 159, 10) : QColor(168, 78, 0);
    theme.window = dark ? QColor(32, 33, 35) : QColor(242, 242, 240);
    theme.grouped = dark ? QColor(44, 45, 48) : QColor(255, 255, 255);
    theme.button = dark ? QColor(58, 59, 62) : QColor(250, 250, 249);
    // At least 3:1 against the window, a section and a button's own face.
    theme.outline = dark ? QColor(140, 141, 145) : QColor(128, 128, 126);
    // Dimmer than the enabled text, still readable (4.5:1 on a button's face).
    theme.disabledText = dark ? QColor(165, 166, 169) : QColor(110, 110, 108);
    return theme;
}

double Theme::contrast(const QColor& foreground, const QColor& background)
{
    const auto luminance = [](const QColor& colour) {
        const auto channel = [](double value) {
            return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) + 0.0722 * channel(colour.blueF());
    };
    const double a = luminance(over(foreground, background));
    const double b = luminance(background);
    return (std::max(a, b) + 0.05) / (std::min(a, b) + 0.05);
}

QColor Theme::over(const QColor& colour, const QColor& background)
{
    const double alpha = colour.alphaF();
    const auto mix = [alpha](int top, int below) { return qRound(below + (top - below) * alpha); };
    return QColor(mix(colour.red(), background.red()), mix(colour.green(), background.green()),
                  mix(colour.blue(), background.blue()));
}

QColor Theme::accentInk() const
{
    // A shade darker in the light look, so that small accent text reads at 4.5:1 on the window colour too.
    return dark ? SornPalette::accent().lighter(165) : SornPalette::accent().darker(112);
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
    palette.setColor(QPalette::PlaceholderText, over(ink(dark ? 0.5 : 0.56), grouped));
    palette.setColor(QPalette::Button, button);
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
        palette.setColor(QPalette::Disabled, role, disabledText);
    }
    palette.setColor(QPalette::Disabled, QPalette::Button, button);
    return palette;
}

} // namespace quilvant
