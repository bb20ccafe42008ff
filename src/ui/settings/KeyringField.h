#pragma once

#include <QString>

class QLineEdit;
class QPushButton;

namespace quilvant::settings {

class Section;

// A field whose value lives in the desktop keyring under `account`: filled from it before the window shows, and
// written to it only when the person presses its Save button. Results are said on the section's line.
class KeyringField
{
public:
    KeyringField(Section* section, QLineEdit* field, QPushButton* save, QString account);

    // Reads the stored value off the GUI thread; what the person typed meanwhile wins over it.
    void fill();

private:
    void save();

    Section* m_section;
    QLineEdit* m_field;
    QPushButton* m_save;
    QString m_account;
};

} // namespace quilvant::settings
