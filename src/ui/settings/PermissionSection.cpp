#include "ui/settings/PermissionSection.h"

#include "foundation/L.h"
#include "ui/CardParts.h"
#include "ui/Icons.h"
#include "ui/settings/FormControls.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace quilvant::settings {

PermissionSection::PermissionSection(QWidget* parent)
    : Section(parent)
    , m_brand(new card::BrandMark(36))
    , m_description(caption())
    , m_permissionIcon(new QLabel)
    , m_permissionState(new QLabel)
    , m_checkButton(button(QStringLiteral("checkPermission")))
{
    auto* brandRow = new QWidget;
    auto* brand = new QHBoxLayout(brandRow);
    brand->setContentsMargins(0, 0, 0, 0);
    brand->setSpacing(12);
    brand->addWidget(m_brand, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    auto* title = new QLabel(QStringLiteral("Quilvant"));
    title->setFont(card::pixelFont(17, QFont::Bold));
    m_description->setObjectName(QStringLiteral("description"));
    texts->addWidget(title);
    texts->addWidget(m_description);
    brand->addLayout(texts, 1);
    addWide(brandRow);

    auto* state = new QWidget;
    auto* stateLayout = new QHBoxLayout(state);
    stateLayout->setContentsMargins(0, 0, 0, 0);
    stateLayout->setSpacing(5);
    m_permissionIcon->setFixedSize(14, 14);
    m_permissionState->setObjectName(QStringLiteral("permissionState"));
    m_permissionState->setFont(card::pixelFont(13));
    stateLayout->addWidget(m_permissionIcon);
    stateLayout->addWidget(m_permissionState);
    stateLayout->addStretch(1);
    m_permissionTitle = addRow(state);

    auto* buttons = new QWidget;
    auto* buttonsLayout = new QHBoxLayout(buttons);
    buttonsLayout->setContentsMargins(0, 0, 0, 0);
    buttonsLayout->addStretch(1);
    buttonsLayout->addWidget(m_checkButton);
    m_checkRow = addWide(buttons);
    connect(m_checkButton, &QPushButton::clicked, this, [this] {
        if (m_checkPermission) {
            setPermitted(m_checkPermission());
        }
    });
}

void PermissionSection::setPermitted(bool permitted)
{
    m_permitted = permitted;
    showPermission();
}

void PermissionSection::retranslate()
{
    m_description->setText(L::t(QStringLiteral("首次使用说明")));
    relabelRow(m_permissionTitle, L::t(QStringLiteral("屏幕录制权限")));
    m_checkButton->setText(L::t(QStringLiteral("检查权限")));
    showPermission();
}

void PermissionSection::setTheme(const Theme& theme)
{
    Section::setTheme(theme);
    m_brand->setTheme(theme);
    showPermission();
}

void PermissionSection::showPermission()
{
    m_permissionState->setText(L::t(m_permitted ? QStringLiteral("已允许") : QStringLiteral("尚未允许")));
    const QColor ink = m_permitted ? theme().secondary : theme().warning;
    card::setTextColour(m_permissionState, ink);
    m_permissionIcon->setPixmap(
        Icons::pixmap(m_permitted ? QStringLiteral("checkmark.circle") : QStringLiteral("rectangle.dashed"), 14, ink,
                      devicePixelRatioF()));
    // Nothing to check again once capturing is possible (always so on X11).
    m_checkRow->setVisible(!m_permitted);
}

} // namespace quilvant::settings
