#pragma once

#include <QWidget>
#include <optional>

namespace quilvant {

class SettingsView;

// The settings window: the settings form in a titled, closable window of 520 x 730 points. The desktop program
// makes it once and shows it again after it was closed; the form keeps its state in between. Its title follows
// the interface language and its look the desktop's light or dark preference.
class SettingsWindow final : public QWidget
{
    Q_OBJECT

public:
    static constexpr QSize initialSize{520, 730};

    explicit SettingsWindow(QWidget* parent = nullptr);

    SettingsView* view() const { return m_view; }

    // Shows the window (or brings it forward) after preparing the form for showing; the first time centred on
    // the screen under the pointer.
    void present();

    // Forces the light (false) or dark (true) look; nullopt follows the desktop.
    void setForcedDark(std::optional<bool> dark);

private:
    void retitle();
    void applyLook();
    void centre();

    SettingsView* m_view;
    std::optional<bool> m_forcedDark;
    bool m_placed = false;
};

} // namespace quilvant
