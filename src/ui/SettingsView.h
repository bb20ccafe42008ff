#pragma once

#include "ui/SornPalette.h"

#include <QWidget>
#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QVBoxLayout;

namespace quilvant {

namespace card {
class BrandMark;
} // namespace card
namespace settings {
class FormSection;
} // namespace settings

// The settings form: screen access, the general settings (interface language, launch at login, engine, target
// language, shortcut), the chosen engine's settings with the keyring fields, updates, privacy and the version.
// Every setting is stored the moment it changes; keyring values only when their Save button is pressed.
class SettingsView final : public QWidget
{
    Q_OBJECT

public:
    // The command to bind in the desktop's own shortcut settings when no global shortcut could be registered.
    static constexpr const char* captureCommand = "quilvant --capture";

    explicit SettingsView(QWidget* parent = nullptr);

    // Screen access: whether captures are allowed (true until told otherwise, as on X11), how to ask again
    // ("Check permission") and how to open the desktop's settings page for it (none: the button is not offered).
    // Both buttons show only while access is not allowed.
    void setPermitted(bool permitted);
    bool permitted() const { return m_permitted; }
    void setCheckPermission(std::function<bool()> check) { m_checkPermission = std::move(check); }
    void setOpenScreenSettings(std::function<void()> open);

    // Run after the interface language or the shortcut changed: the desktop program registers the new
    // shortcut, rebuilds its menu and retitles its windows.
    void setShortcutChanged(std::function<void()> callback) { m_shortcutChanged = std::move(callback); }
    // No global shortcut could be registered: show the command to bind in the desktop's settings instead.
    void setShortcutUnavailable(bool unavailable);

    // Previews show fixed values: nothing is read from the keyring and nothing is normalised.
    void setPreview(bool preview) { m_preview = preview; }

    // Before each showing: normalises a loose stored target language and fills the keyring fields (off the GUI
    // thread; a field the person has typed into meanwhile is left alone).
    void prepareToShow();

    void setTheme(const Theme& theme);

    // The result line of the last save or toggle; empty when there is none.
    QString message() const { return m_messageText; }

Q_SIGNALS:
    // The result line changed (tests and the window wait for keyring answers with it).
    void messageChanged(const QString& message);

private:
    void build();
    void retranslate();
    void loadValues();
    void showEngineSection();
    void setMessage(const QString& message);
    void saveSecret(QLineEdit* field, QPushButton* button, const QString& account);
    void fillSecret(QLineEdit* field, const QString& account);
    void launchAtLoginToggled(bool on);
    void refreshPermission();

    bool m_permitted = true;
    bool m_preview = false;
    bool m_shortcutUnavailable = false;
    std::function<bool()> m_checkPermission;
    std::function<void()> m_openScreenSettings;
    std::function<void()> m_shortcutChanged;
    QString m_messageText;
    Theme m_theme = Theme::forLook(false);

    QVBoxLayout* m_column = nullptr;
    card::BrandMark* m_brand = nullptr;
    QLabel* m_title = nullptr;
    QLabel* m_description = nullptr;
    QLabel* m_permissionTitle = nullptr;
    QLabel* m_permissionIcon = nullptr;
    QLabel* m_permissionState = nullptr;
    QWidget* m_permissionButtons = nullptr;
    QPushButton* m_openSettings = nullptr;
    QPushButton* m_checkButton = nullptr;

    QList<settings::FormSection*> m_sections;
    settings::FormSection* m_general = nullptr;
    QLabel* m_uiLanguageLabel = nullptr;
    QComboBox* m_uiLanguage = nullptr;
    QLabel* m_launchLabel = nullptr;
    QCheckBox* m_launchAtLogin = nullptr;
    QLabel* m_engineLabel = nullptr;
    QComboBox* m_engine = nullptr;
    QLabel* m_languageLabel = nullptr;
    QComboBox* m_language = nullptr;
    QLabel* m_shortcutLabel = nullptr;
    QComboBox* m_shortcut = nullptr;
    QWidget* m_shortcutHelp = nullptr;
    QLabel* m_shortcutHelpText = nullptr;
    QLineEdit* m_command = nullptr;
    QPushButton* m_copyCommand = nullptr;

    settings::FormSection* m_serviceSection = nullptr;
    QLabel* m_serviceURLLabel = nullptr;
    QLineEdit* m_serviceURL = nullptr;
    QLabel* m_tokenLabel = nullptr;
    QLineEdit* m_token = nullptr;
    QPushButton* m_saveToken = nullptr;

    settings::FormSection* m_minimaxSection = nullptr;
    QLabel* m_endpointLabel = nullptr;
    QLineEdit* m_endpoint = nullptr;
    QLabel* m_minimaxModelLabel = nullptr;
    QLineEdit* m_minimaxModel = nullptr;
    QLabel* m_keyLabel = nullptr;
    QLineEdit* m_key = nullptr;
    QPushButton* m_saveKey = nullptr;
    QLabel* m_keyCaption = nullptr;

    settings::FormSection* m_codexSection = nullptr;
    QLabel* m_codexPathLabel = nullptr;
    QLineEdit* m_codexPath = nullptr;
    QLabel* m_codexModelLabel = nullptr;
    QLineEdit* m_codexModel = nullptr;
    QLabel* m_codexCaption = nullptr;

    QLabel* m_message = nullptr;
    QPushButton* m_checkUpdates = nullptr;
    settings::FormSection* m_privacy = nullptr;
    QLabel* m_privacyCaption = nullptr;
    QLabel* m_version = nullptr;
};

} // namespace quilvant
