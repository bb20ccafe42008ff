#pragma once

#include "session/TranslationConsent.h"

class QWidget;

namespace quilvant::ui {

// The consent question of the desktop program: a modal message box with the privacy notice and the buttons
// "Agree and continue", "Cancel", "Privacy policy", in that order.
class ConsentDialog final : public ConsentPrompt
{
public:
    explicit ConsentDialog(QWidget* parent = nullptr)
        : m_parent(parent)
    {}

    Answer ask() override;

private:
    QWidget* m_parent;
};

} // namespace quilvant::ui
