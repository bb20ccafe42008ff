#pragma once

#include "ui/settings/Section.h"

#include <functional>

class QLabel;
class QPushButton;

namespace quilvant {
namespace card {
class BrandMark;
} // namespace card

namespace settings {

// The head of the form: the brand with how to start, and whether the screen may be captured here. While it
// may not, "Check again" asks once more (after the person installed a tool); on X11 it always may.
class PermissionSection final : public Section
{
public:
    explicit PermissionSection(QWidget* parent = nullptr);

    void setPermitted(bool permitted);
    bool permitted() const { return m_permitted; }
    void setCheckPermission(std::function<bool()> check) { m_checkPermission = std::move(check); }

    void retranslate() override;
    void setTheme(const Theme& theme) override;

private:
    void showPermission();

    bool m_permitted = true;
    std::function<bool()> m_checkPermission;
    card::BrandMark* m_brand;
    QLabel* m_description;
    QLabel* m_permissionTitle = nullptr;
    QLabel* m_permissionIcon;
    QLabel* m_permissionState;
    QWidget* m_checkRow = nullptr;
    QPushButton* m_checkButton;
};

} // namespace settings
} // namespace quilvant
