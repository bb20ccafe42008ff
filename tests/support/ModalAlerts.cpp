#include "support/ModalAlerts.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <algorithm>

namespace quilvant::test {

void answerNextAlert(const QString& answer, SeenAlert* seen)
{
    seen->poll = std::make_unique<QTimer>();
    QTimer* poll = seen->poll.get();
    QObject::connect(poll, &QTimer::timeout, poll, [poll, answer, seen] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (box == nullptr || !box->isVisible()) {
            return;
        }
        poll->stop();
        QList<QPushButton*> buttons = box->findChildren<QPushButton*>();
        std::sort(buttons.begin(), buttons.end(), [box](QPushButton* a, QPushButton* b) {
            return a->mapTo(box, QPoint()).x() < b->mapTo(box, QPoint()).x();
        });
        seen->text = box->text();
        seen->informative = box->informativeText();
        seen->picture = box->grab().toImage();
        if (const auto* label = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"))) {
            seen->informativeWraps = label->heightForWidth(label->width()) > label->heightForWidth(10'000);
        }
        for (QPushButton* button : buttons) {
            seen->buttons.append(button->text());
        }
        for (QPushButton* button : buttons) {
            if (button->text() == answer) {
                button->click();
                return;
            }
        }
        box->reject();
    });
    poll->start(20);
}

} // namespace quilvant::test
