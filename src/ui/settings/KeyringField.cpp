#include "ui/settings/KeyringField.h"

#include "foundation/L.h"
#include "foundation/Secrets.h"
#include "ui/settings/Section.h"

#include <QLineEdit>
#include <QPointer>
#include <QPushButton>

namespace quilvant::settings {

KeyringField::KeyringField(Section* section, QLineEdit* field, QPushButton* save, QString account)
    : m_section(section)
    , m_field(field)
    , m_save(save)
    , m_account(std::move(account))
{
    m_field->setEchoMode(QLineEdit::Password);
    QObject::connect(m_save, &QPushButton::clicked, m_section, [this] { this->save(); });
}

void KeyringField::fill()
{
    m_field->setModified(false);
    QPointer<QLineEdit> target(m_field);
    QPointer<Section> section(m_section);
    Secrets::readLater(m_account, m_section, [section, target](const Secrets::Stored& stored) {
        if (!stored.message().isEmpty()) {
            if (section) {
                Q_EMIT section->said(stored.message()); // a locked or missing keyring is said, not an empty field
            }
            return;
        }
        if (target && !target->isModified()) {
            target->setText(stored.value);
        }
    });
}

void KeyringField::save()
{
    // Disabling a focused button passes the focus on; it comes back afterwards, so that the person's place in
    // the form is kept.
    const bool focused = m_save->hasFocus();
    m_save->setEnabled(false);
    Q_EMIT m_section->said(L::t(QStringLiteral("正在保存…")));
    QPointer<QPushButton> button(m_save);
    QPointer<Section> section(m_section);
    Secrets::saveLater(m_field->text(), m_account, m_section, [section, button, focused](Outcome<void> outcome) {
        if (button) {
            button->setEnabled(true);
            if (focused) {
                button->setFocus(Qt::OtherFocusReason);
            }
        }
        if (section) {
            Q_EMIT section->said(outcome ? L::t(QStringLiteral("已保存到钥匙串")) : outcome.error().description());
        }
    });
}

} // namespace quilvant::settings
