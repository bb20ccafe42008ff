#pragma once

#include "ui/SornPalette.h"

#include <QList>
#include <QWidget>
#include <functional>

class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace quilvant {

namespace settings {
class GeneralSection;
class PermissionSection;
class Section;
} // namespace settings

// The settings form: screen access, the general settings, the chosen engine's settings, the result line,
// privacy, updates and the version, built from sections (ui/settings) that each store their own settings the
// moment they change; keyring values only when their Save button is pressed.
class SettingsView final : public QWidget
{
    Q_OBJECT

public:
    explicit SettingsView(QWidget* parent = nullptr);

    // Screen access: whether captures are possible (true until told otherwise, as on X11) and how to check
    // again ("Check again" shows only while they are not).
    void setPermitted(bool permitted);
    bool permitted() const;
    void setCheckPermission(std::function<bool()> check);

    // Run after the interface language or the shortcut changed: the desktop program registers the new
    // shortcut, rebuilds its menu and retitles its windows.
    void setShortcutChanged(std::function<void()> callback);
    // No global shortcut could be registered: show the command to bind in the desktop's settings instead.
    void setShortcutUnavailable(bool unavailable);

    // Previews show fixed values: nothing is read from the keyring and nothing is normalised.
    void setPreview(bool preview) { m_preview = preview; }

    // Before each showing: normalises a loose stored target language and fills the keyring fields (off the GUI
    // thread; a field the person has typed into meanwhile is left alone).
    void prepareToShow();
    // Gives the keyboard focus to the first control, where the window opens.
    void focusFirstControl();

    void setTheme(const Theme& theme);

    // The result line of the last save or toggle; empty when there is none.
    QString message() const { return m_messageText; }

Q_SIGNALS:
    // The result line changed (tests and the window wait for keyring answers with it).
    void messageChanged(const QString& message);

private:
    void build();
    template <typename S>
    S* add();
    void retranslate();
    void loadValues();
    void alignLabels();
    void setMessage(const QString& message);

    bool m_preview = false;
    QString m_messageText;
    Theme m_theme = Theme::forLook(false);

    QScrollArea* m_scroll = nullptr;
    QVBoxLayout* m_column = nullptr;
    QList<settings::Section*> m_sections;
    settings::PermissionSection* m_permission = nullptr;
    settings::GeneralSection* m_general = nullptr;
    QLabel* m_message = nullptr;
    QPushButton* m_checkUpdates = nullptr;
    QLabel* m_version = nullptr;
};

} // namespace quilvant
