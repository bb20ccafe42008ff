#pragma once

#include "ui/settings/KeyringField.h"
#include "ui/settings/Section.h"

class QLabel;
class QLineEdit;
class QPushButton;

// The settings of each translation engine; only the chosen engine's section shows.
namespace quilvant::settings {

// The hosted service: its address and the access token.
class HostedSection final : public Section
{
public:
    explicit HostedSection(QWidget* parent = nullptr);
    void retranslate() override;
    void loadValues() override;
    void prepareToShow() override { m_tokenField.fill(); }

private:
    QLineEdit* m_serviceURL;
    QLabel* m_serviceURLLabel = nullptr;
    QLineEdit* m_token;
    QLabel* m_tokenLabel = nullptr;
    QPushButton* m_saveToken;
    KeyringField m_tokenField;
};

// The chat-completions provider with the person's own key: endpoint, model and the API key.
class MiniMaxSection final : public Section
{
public:
    explicit MiniMaxSection(QWidget* parent = nullptr);
    void retranslate() override;
    void loadValues() override;
    void prepareToShow() override { m_keyField.fill(); }

private:
    QLineEdit* m_endpoint;
    QLabel* m_endpointLabel = nullptr;
    QLineEdit* m_model;
    QLabel* m_modelLabel = nullptr;
    QLineEdit* m_key;
    QLabel* m_keyLabel = nullptr;
    QPushButton* m_saveKey;
    QLabel* m_caption;
    KeyringField m_keyField;
};

// The coding-agent CLI: its path and model.
class CodexSection final : public Section
{
public:
    explicit CodexSection(QWidget* parent = nullptr);
    void retranslate() override;
    void loadValues() override;

private:
    QLineEdit* m_path;
    QLabel* m_pathLabel = nullptr;
    QLineEdit* m_model;
    QLabel* m_modelLabel = nullptr;
    QLabel* m_caption;
};

} // namespace quilvant::settings
