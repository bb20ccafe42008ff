#include "ui/ConsentDialog.h"

#include "foundation/L.h"
#include "ui/StockLook.h"

#include <QMessageBox>
#include <QPushButton>

namespace quilvant::ui {

ConsentPrompt::Answer ConsentDialog::ask()
{
    QMessageBox box(m_parent);
    box.setIcon(QMessageBox::Information);
    box.setWindowTitle(QStringLiteral("Quilvant"));
    box.setText(L::t(QStringLiteral("翻译前请确认")));
    box.setInformativeText(L::t(L::consentNoticeKey));
    StockLook::fitInformativeText(&box);
    StockLook::follow(&box);
    // One role for all three keeps them in the order written, whatever the desktop's button layout.
    QPushButton* agree = box.addButton(L::t(QStringLiteral("同意并继续")), QMessageBox::ActionRole);
    QPushButton* cancel = box.addButton(L::t(QStringLiteral("取消")), QMessageBox::ActionRole);
    QPushButton* privacy = box.addButton(L::t(QStringLiteral("隐私政策")), QMessageBox::ActionRole);
    box.setDefaultButton(agree);
    box.setEscapeButton(cancel);
    box.exec();
    if (box.clickedButton() == agree) {
        return Answer::Agree;
    }
    if (box.clickedButton() == privacy) {
        return Answer::PrivacyPolicy;
    }
    return Answer::Cancel;
}

} // namespace quilvant::ui
