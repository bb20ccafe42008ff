#include "ui/WelcomeAlert.h"

#include "foundation/L.h"
#include "foundation/Settings.h"
#include "ui/StockLook.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace quilvant::ui::WelcomeAlert {

bool show(QWidget* parent, const std::function<void()>& openSettings)
{
    QMessageBox box(parent);
    box.setIcon(QMessageBox::Information);
    box.setWindowTitle(QStringLiteral("Quilvant"));
    box.setText(L::t(QStringLiteral("欢迎使用 Sorn")));
    box.setInformativeText(L::t(QStringLiteral("欢迎页说明")));
    StockLook::fitInformativeText(&box);
    StockLook::follow(&box);
    QPushButton* start = box.addButton(L::t(QStringLiteral("开始使用")), QMessageBox::ActionRole);
    QPushButton* later = box.addButton(L::t(QStringLiteral("稍后")), QMessageBox::ActionRole);
    box.setDefaultButton(start);
    box.setEscapeButton(later);
    box.show();
    box.raise();
    box.activateWindow();
    box.exec();
    Settings::setValue(Settings::Key::onboarded, true);
    if (box.clickedButton() != start) {
        return false;
    }
    if (openSettings) {
        openSettings();
    }
    return true;
}

} // namespace quilvant::ui::WelcomeAlert
