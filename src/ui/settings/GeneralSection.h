#pragma once

#include "ui/settings/Section.h"

#include <functional>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace quilvant::settings {

class Toggle;

// The general settings: interface language, launch at login, translation engine, target language and the
// global shortcut, with the command to bind where no global shortcut could be registered.
class GeneralSection final : public Section
{
public:
    explicit GeneralSection(QWidget* parent = nullptr);

    // Run after the interface language or the shortcut changed.
    void setShortcutChanged(std::function<void()> callback) { m_shortcutChanged = std::move(callback); }
    void setShortcutUnavailable(bool unavailable);
    // The control that takes the keyboard focus when the window opens.
    QWidget* firstControl() const;

    void retranslate() override;
    void loadValues() override;

private:
    void launchAtLoginToggled(bool on);
    void reportChange();

    std::function<void()> m_shortcutChanged;
    QComboBox* m_uiLanguage;
    QLabel* m_uiLanguageLabel = nullptr;
    Toggle* m_launchAtLogin;
    QLabel* m_launchLabel = nullptr;
    QComboBox* m_engine;
    QLabel* m_engineLabel = nullptr;
    QComboBox* m_language;
    QLabel* m_languageLabel = nullptr;
    QComboBox* m_shortcut;
    QLabel* m_shortcutLabel = nullptr;
    QLabel* m_watchLabel = nullptr;
    QWidget* m_watchControl = nullptr;
    QWidget* m_shortcutHelpRow = nullptr;
    QLabel* m_shortcutHelpText;
    QLineEdit* m_command;
    QPushButton* m_copyCommand;
};

} // namespace quilvant::settings
