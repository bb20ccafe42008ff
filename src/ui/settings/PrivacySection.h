#pragma once

#include "ui/settings/Section.h"

class QLabel;

namespace quilvant::settings {

// What leaves this computer, and what does not.
class PrivacySection final : public Section
{
public:
    explicit PrivacySection(QWidget* parent = nullptr);
    void retranslate() override;

private:
    QLabel* m_caption;
};

} // namespace quilvant::settings
