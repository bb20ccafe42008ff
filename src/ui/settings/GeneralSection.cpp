#include "ui/settings/GeneralSection.h"

#include "foundation/EngineKind.h"
#include "foundation/L.h"
#include "foundation/Settings.h"
#include "foundation/TargetLanguage.h"
#include "platform/Autostart.h"
#include "ui/CardParts.h"
#include "ui/WatchSettings.h"
#include "ui/settings/FormControls.h"

#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

namespace quilvant::settings {

namespace {

// The command to bind in the desktop's own shortcut settings when no global shortcut could be registered.
constexpr const char* captureCommand = "quilvant --capture";

} // namespace

GeneralSection::GeneralSection(QWidget* parent)
    : Section(parent)
    , m_uiLanguage(picker(QStringLiteral("uiLanguage")))
    , m_launchAtLogin(new Toggle)
    , m_engine(picker(QStringLiteral("engine")))
    , m_language(picker(QStringLiteral("language")))
    , m_shortcut(picker(QStringLiteral("shortcut")))
    , m_shortcutHelpText(caption())
    , m_command(field(QStringLiteral("captureCommand")))
    , m_copyCommand(button(QStringLiteral("copyCommand")))
{
    m_uiLanguageLabel = addRow(m_uiLanguage);
    m_launchAtLogin->setObjectName(QStringLiteral("launchAtLogin"));
    m_launchLabel = addRow(m_launchAtLogin, false);
    m_engineLabel = addRow(m_engine);
    m_languageLabel = addRow(m_language);
    for (const char* letter : {"D", "T", "S"}) {
        m_shortcut->addItem(QStringLiteral("Alt+") + QLatin1String(letter), QString::fromLatin1(letter));
    }
    // The watch's shortcut shares the row, so that the form keeps to its window.
    auto* shortcuts = new QWidget;
    auto* shortcutsLayout = new QHBoxLayout(shortcuts);
    shortcutsLayout->setContentsMargins(0, 0, 0, 0);
    shortcutsLayout->setSpacing(6);
    m_watchLabel = new QLabel;
    m_watchLabel->setFont(card::pixelFont(13));
    // Named for assistive tools by the label beside it (not its buddy: row labels are the column's).
    m_watchControl = WatchSettings::makeControl();
    QWidget* watch = m_watchControl;
    m_shortcut->setMinimumWidth(84);
    shortcutsLayout->addWidget(m_shortcut, 1);
    shortcutsLayout->addWidget(m_watchLabel);
    shortcutsLayout->addWidget(watch, 1);
    m_shortcutLabel = addRow(shortcuts);

    auto* help = new QWidget;
    help->setObjectName(QStringLiteral("shortcutHelp"));
    auto* helpLayout = new QVBoxLayout(help);
    helpLayout->setContentsMargins(0, 2, 0, 2);
    helpLayout->setSpacing(6);
    helpLayout->addWidget(m_shortcutHelpText);
    auto* commandRow = new QHBoxLayout;
    commandRow->setSpacing(8);
    m_command->setReadOnly(true);
    m_command->setText(QString::fromLatin1(captureCommand));
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPixelSize(13);
    m_command->setFont(mono);
    commandRow->addWidget(m_command, 1);
    commandRow->addWidget(m_copyCommand);
    helpLayout->addLayout(commandRow);
    m_shortcutHelpRow = addWide(help);
    m_shortcutHelpRow->setObjectName(QStringLiteral("shortcutHelpRow"));
    m_shortcutHelpRow->hide();

    connect(m_copyCommand, &QPushButton::clicked, this, [this] {
        QGuiApplication::clipboard()->setText(m_command->text());
        m_copyCommand->setText(L::t(QStringLiteral("已复制")));
        QTimer::singleShot(1400, m_copyCommand, [this] { m_copyCommand->setText(L::t(QStringLiteral("复制"))); });
    });
    connect(m_uiLanguage, &QComboBox::currentIndexChanged, this, [this] {
        Settings::setValue(Settings::Key::uiLanguage, m_uiLanguage->currentData().toString());
        reportChange();
    });
    connect(m_launchAtLogin, &QCheckBox::toggled, this, &GeneralSection::launchAtLoginToggled);
    connect(m_engine, &QComboBox::currentIndexChanged, this,
            [this] { Settings::setValue(Settings::Key::engine, m_engine->currentData().toString()); });
    connect(m_language, &QComboBox::currentIndexChanged, this,
            [this] { Settings::setValue(Settings::Key::language, m_language->currentData().toString()); });
    connect(m_shortcut, &QComboBox::currentIndexChanged, this, [this] {
        Settings::setValue(Settings::Key::shortcut, m_shortcut->currentData().toString());
        reportChange();
    });
}

QWidget* GeneralSection::firstControl() const
{
    return m_uiLanguage;
}

void GeneralSection::setShortcutUnavailable(bool unavailable)
{
    m_shortcutHelpRow->setVisible(unavailable);
    m_copyCommand->setText(L::t(QStringLiteral("复制")));
}

void GeneralSection::retranslate()
{
    setTitle(L::t(QStringLiteral("通用")));
    relabelRow(m_uiLanguageLabel, L::t(QStringLiteral("界面语言")));
    relabelRow(m_launchLabel, L::t(QStringLiteral("登录后自动启动")));
    relabelRow(m_engineLabel, L::t(QStringLiteral("翻译服务")));
    relabelRow(m_languageLabel, L::t(QStringLiteral("目标语言")));
    relabelRow(m_shortcutLabel, L::t(QStringLiteral("全局快捷键")));
    m_watchLabel->setText(L::t(QStringLiteral("监视区域")));
    m_watchControl->setAccessibleName(L::t(QStringLiteral("监视区域快捷键")));
    m_shortcutHelpText->setText(L::t(QStringLiteral("全局快捷键不可用说明")));
    m_copyCommand->setText(L::t(QStringLiteral("复制")));
    {
        const QSignalBlocker quiet(m_uiLanguage);
        m_uiLanguage->clear();
        // The two language names read the same in either interface.
        m_uiLanguage->addItem(L::t(QStringLiteral("跟随系统")), QStringLiteral("system"));
        m_uiLanguage->addItem(QStringLiteral("English"), QStringLiteral("en"));
        m_uiLanguage->addItem(QStringLiteral("简体中文"), QStringLiteral("zh"));
    }
    {
        const QSignalBlocker quiet(m_engine);
        m_engine->clear();
        for (const EngineKind kind : Engines::all) {
            m_engine->addItem(Engines::label(kind), Engines::storedName(kind));
        }
    }
    {
        const QSignalBlocker quiet(m_language);
        m_language->clear();
        for (const TargetLanguage::Entry& entry : TargetLanguage::all()) {
            m_language->addItem(TargetLanguage::label(entry.code), entry.code);
        }
    }
}

void GeneralSection::loadValues()
{
    selectData(m_uiLanguage, Settings::uiLanguage());
    selectData(m_engine, Engines::storedName(Engines::fromSettings()));
    // A loose stored value shows as the language it stands for.
    selectData(m_language, TargetLanguage::code(Settings::language()));
    selectData(m_shortcut, Settings::shortcut());
    const QSignalBlocker quiet(m_launchAtLogin);
    m_launchAtLogin->setChecked(Autostart::isEnabled());
}

void GeneralSection::launchAtLoginToggled(bool on)
{
    const Outcome<void> outcome = Autostart::setEnabled(on, QCoreApplication::applicationFilePath());
    if (!outcome) {
        Q_EMIT said(outcome.error().description());
    }
    // The toggle shows what the desktop will do, read back from the files.
    const QSignalBlocker quiet(m_launchAtLogin);
    m_launchAtLogin->setChecked(Autostart::isEnabled());
}

void GeneralSection::reportChange()
{
    if (m_shortcutChanged) {
        m_shortcutChanged();
    }
}

} // namespace quilvant::settings
