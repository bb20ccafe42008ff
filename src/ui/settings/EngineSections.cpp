#include "ui/settings/EngineSections.h"

#include "foundation/EngineKind.h"
#include "foundation/L.h"
#include "foundation/Secrets.h"
#include "foundation/Settings.h"
#include "ui/settings/FormControls.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

namespace quilvant::settings {

namespace {

// Stores `key` as the person types into `edit`.
void storeAsTyped(QLineEdit* edit, const QString& key)
{
    QObject::connect(edit, &QLineEdit::textEdited, edit, [key](const QString& text) { Settings::setValue(key, text); });
}

// A row with `text` (may be null) at the left and `save` at the right.
QWidget* buttonRow(QLabel* text, QPushButton* save)
{
    auto* row = new QWidget;
    auto* layout = new QHBoxLayout(row);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    if (text != nullptr) {
        layout->addWidget(text, 1);
    } else {
        layout->addStretch(1);
    }
    layout->addWidget(save, 0, Qt::AlignTop);
    return row;
}

} // namespace

HostedSection::HostedSection(QWidget* parent)
    : Section(parent)
    , m_serviceURL(field(QStringLiteral("serviceURL")))
    , m_token(field(QStringLiteral("serviceToken")))
    , m_saveToken(button(QStringLiteral("saveToken")))
    , m_tokenField(this, m_token, m_saveToken, Secrets::serviceAccount)
{
    setObjectName(QStringLiteral("serviceSection"));
    m_serviceURL->setPlaceholderText(QStringLiteral("https://"));
    m_serviceURLLabel = addRow(m_serviceURL);
    m_tokenLabel = addRow(m_token);
    addWide(buttonRow(nullptr, m_saveToken));
    storeAsTyped(m_serviceURL, Settings::Key::serviceURL);
}

void HostedSection::retranslate()
{
    setTitle(QStringLiteral("Quilvant · ") + L::t(QStringLiteral("翻译服务")));
    relabelRow(m_serviceURLLabel, L::t(QStringLiteral("服务地址")));
    relabelRow(m_tokenLabel, L::t(QStringLiteral("访问令牌 · 保存在系统密钥环")));
    m_saveToken->setText(L::t(QStringLiteral("保存访问令牌")));
}

void HostedSection::loadValues()
{
    setVisible(Engines::fromSettings() == EngineKind::Hosted);
    setFieldText(m_serviceURL, Settings::serviceURL());
}

MiniMaxSection::MiniMaxSection(QWidget* parent)
    : Section(parent)
    , m_endpoint(field(QStringLiteral("endpoint")))
    , m_model(field(QStringLiteral("minimaxModel")))
    , m_key(field(QStringLiteral("apiKey")))
    , m_saveKey(button(QStringLiteral("saveKey")))
    , m_caption(caption())
    , m_keyField(this, m_key, m_saveKey, Secrets::minimaxAccount)
{
    setObjectName(QStringLiteral("minimaxSection"));
    m_endpointLabel = addRow(m_endpoint);
    m_modelLabel = addRow(m_model);
    m_keyLabel = addRow(m_key);
    addWide(buttonRow(m_caption, m_saveKey));
    storeAsTyped(m_endpoint, Settings::Key::endpoint);
    storeAsTyped(m_model, Settings::Key::minimaxModel);
}

void MiniMaxSection::retranslate()
{
    setTitle(QStringLiteral("MiniMax · ") + L::t(QStringLiteral("自带 API Key")));
    relabelRow(m_endpointLabel, L::t(QStringLiteral("HTTPS API 地址")));
    relabelRow(m_modelLabel, L::t(QStringLiteral("模型名称")));
    relabelRow(m_keyLabel, L::t(QStringLiteral("API Key · 保存在 macOS 钥匙串")));
    m_saveKey->setText(L::t(QStringLiteral("保存 API Key")));
    m_caption->setText(L::t(QStringLiteral("自己的 Key 说明")));
}

void MiniMaxSection::loadValues()
{
    setVisible(Engines::fromSettings() == EngineKind::MiniMax);
    setFieldText(m_endpoint, Settings::endpoint());
    setFieldText(m_model, Settings::minimaxModel());
}

CodexSection::CodexSection(QWidget* parent)
    : Section(parent)
    , m_path(field(QStringLiteral("codexPath")))
    , m_model(field(QStringLiteral("codexModel")))
    , m_caption(caption())
{
    setObjectName(QStringLiteral("codexSection"));
    m_pathLabel = addRow(m_path);
    m_modelLabel = addRow(m_model);
    addWide(m_caption);
    storeAsTyped(m_path, Settings::Key::codexPath);
    storeAsTyped(m_model, Settings::Key::codexModel);
}

void CodexSection::retranslate()
{
    setTitle(QStringLiteral("Codex · ") + L::t(QStringLiteral("高级设置")));
    relabelRow(m_pathLabel, L::t(QStringLiteral("CLI 路径（留空自动检测）")));
    relabelRow(m_modelLabel, L::t(QStringLiteral("模型名称（留空使用 CLI 默认）")));
    m_caption->setText(L::t(QStringLiteral("Codex 说明")));
}

void CodexSection::loadValues()
{
    setVisible(Engines::fromSettings() == EngineKind::Codex);
    setFieldText(m_path, Settings::codexPath());
    setFieldText(m_model, Settings::codexModel());
}

} // namespace quilvant::settings
