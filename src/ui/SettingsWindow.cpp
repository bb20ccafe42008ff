#include "ui/SettingsWindow.h"

#include "foundation/L.h"
#include "foundation/Settings.h"
#include "foundation/SettingsNotifier.h"
#include "platform/ColorScheme.h"
#include "ui/SettingsView.h"
#include "ui/SornPalette.h"

#include <QCursor>
#include <QGuiApplication>
#include <QScreen>
#include <QVBoxLayout>

namespace quilvant {

SettingsWindow::SettingsWindow(QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_view(new SettingsView(this))
{
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_view);
    resize(initialSize);
    setMinimumSize(460, 360);
    connect(SettingsNotifier::instance(), &SettingsNotifier::changed, this, [this](const QString& key) {
        if (key == Settings::Key::uiLanguage) {
            retitle();
        }
    });
    connect(ColorScheme::instance(), &ColorScheme::changed, this, &SettingsWindow::applyLook);
    retitle();
    applyLook();
}

void SettingsWindow::present()
{
    m_view->prepareToShow();
    if (!m_placed) {
        // Opened the first time: in the middle of the screen the person works on, with the focus on the first
        // control. Later showings keep where the person moved it.
        m_placed = true;
        centre();
        m_view->focusFirstControl();
    }
    show();
    raise();
    activateWindow();
}

void SettingsWindow::centre()
{
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (screen == nullptr) {
        screen = QGuiApplication::primaryScreen();
    }
    if (screen == nullptr) {
        return;
    }
    // A position set before the first showing is one the window manager keeps (it is the program's own).
    const QRect available = screen->availableGeometry();
    const QSize frame = frameGeometry().size();
    move(available.center() - QPoint(frame.width() / 2, frame.height() / 2));
}

void SettingsWindow::setForcedDark(std::optional<bool> dark)
{
    m_forcedDark = dark;
    applyLook();
}

void SettingsWindow::retitle()
{
    setWindowTitle(L::t(QStringLiteral("Sorn 设置")));
}

void SettingsWindow::applyLook()
{
    const Theme theme = Theme::forLook(m_forcedDark.value_or(ColorScheme::instance()->dark()));
    setPalette(theme.widgetPalette());
    m_view->setTheme(theme);
}

} // namespace quilvant
