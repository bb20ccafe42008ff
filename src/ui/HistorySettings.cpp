#include "ui/HistorySettings.h"

#include "foundation/L.h"
#include "foundation/Settings.h"
#include "foundation/SettingsNotifier.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

namespace quilvant {

namespace {

QLabel* caption()
{
    auto* label = new QLabel;
    QFont font = label->font();
    font.setPixelSize(12);
    label->setFont(font);
    label->setWordWrap(true);
    return label;
}

} // namespace

HistorySettings::HistorySettings(QWidget* parent)
    : QWidget(parent)
    , m_keepLabel(new QLabel)
    , m_keep(new QCheckBox)
    , m_clearButton(new QPushButton)
    , m_where(caption())
    , m_selection(caption())
{
    setObjectName(QStringLiteral("historySettings"));
    m_keep->setObjectName(QStringLiteral("keepHistory"));
    m_clearButton->setObjectName(QStringLiteral("clearHistory"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(8);
    auto* row = new QHBoxLayout;
    row->addWidget(m_keepLabel);
    row->addStretch(1);
    row->addWidget(m_clearButton);
    row->addSpacing(8);
    row->addWidget(m_keep);
    layout->addLayout(row);
    layout->addWidget(m_where);
    layout->addWidget(m_selection);

    m_keep->setChecked(Settings::keepHistory());
    connect(m_keep, &QCheckBox::toggled, this, [](bool on) { Settings::setValue(Settings::Key::keepHistory, on); });
    connect(m_clearButton, &QPushButton::clicked, this, [this] {
        const auto answer =
            QMessageBox::question(this, L::t(QStringLiteral("清除翻译记录")),
                                  L::t(QStringLiteral("清除这台电脑上的全部翻译记录？此操作无法撤销。")),
                                  QMessageBox::Yes | QMessageBox::Cancel, QMessageBox::Cancel);
        if (answer == QMessageBox::Yes && m_clear) {
            m_clear();
        }
    });
    connect(SettingsNotifier::instance(), &SettingsNotifier::changed, this, [this](const QString& key) {
        if (key == Settings::Key::uiLanguage) {
            retranslate();
        } else if (key == Settings::Key::shortcut) {
            retranslate();
        } else if (key == Settings::Key::keepHistory) {
            const QSignalBlocker quiet(m_keep);
            m_keep->setChecked(Settings::keepHistory());
        }
    });
    retranslate();
}

void HistorySettings::setSelectionAccess(SelectionReader::Access access)
{
    m_access = access;
    retranslate();
}

void HistorySettings::setTheme(const Theme& theme)
{
    for (QLabel* label : {m_where, m_selection}) {
        QPalette palette = label->palette();
        palette.setColor(QPalette::WindowText, theme.secondary);
        label->setPalette(palette);
    }
}

void HistorySettings::retranslate()
{
    m_keepLabel->setText(L::t(QStringLiteral("保留翻译记录")));
    m_keep->setAccessibleName(m_keepLabel->text());
    m_clearButton->setText(L::t(QStringLiteral("清除")));
    m_where->setText(L::t(QStringLiteral("翻译记录只保存在这台电脑上，不会上传。")));
    switch (m_access) {
    case SelectionReader::Access::Primary:
        m_selection->setText(
            L::t(QStringLiteral("选中文字：这个桌面允许直接读取选中的文字（没有选中时读取剪贴板）。")));
        break;
    case SelectionReader::Access::Clipboard:
        m_selection->setText(L::t(QStringLiteral("选中文字：这个桌面只允许读取剪贴板，请先复制要翻译的文字。")));
        break;
    case SelectionReader::Access::None:
        m_selection->setText(L::t(QStringLiteral("选中文字：这个桌面不允许读取选中的文字或剪贴板。")));
        break;
    }
}

} // namespace quilvant
