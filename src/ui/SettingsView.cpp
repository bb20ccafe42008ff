#include "ui/SettingsView.h"

#include "foundation/EngineKind.h"
#include "foundation/L.h"
#include "foundation/Secrets.h"
#include "foundation/Settings.h"
#include "foundation/SettingsNotifier.h"
#include "foundation/TargetLanguage.h"
#include "platform/Autostart.h"
#include "ui/CardParts.h"
#include "ui/HistorySettings.h"
#include "ui/Icons.h"
#include "ui/WatchSettings.h"

#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QPushButton>
#include <QScrollArea>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

namespace quilvant {

namespace settings {

// One group of the form: an optional title above a rounded box whose rows are separated by hair lines.
class FormSection final : public QWidget
{
public:
    static constexpr int labelWidth = 170;

    explicit FormSection(QWidget* parent = nullptr)
        : QWidget(parent)
        , m_title(new QLabel)
        , m_box(new Box)
    {
        auto* layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 0, 0, 0);
        layout->setSpacing(6);
        QFont font = m_title->font();
        font.setPixelSize(12);
        font.setWeight(QFont::DemiBold);
        m_title->setFont(font);
        m_title->setContentsMargins(10, 0, 0, 0);
        m_title->hide();
        layout->addWidget(m_title);
        layout->addWidget(m_box);
        m_rows = new QVBoxLayout(m_box);
        m_rows->setContentsMargins(0, 0, 0, 0);
        m_rows->setSpacing(0);
    }

    void setTitle(const QString& title)
    {
        m_title->setText(title);
        m_title->setVisible(!title.isEmpty());
    }

    // A row with a label at the left and `control` at the right; returns the row.
    QWidget* addRow(QLabel* label, QWidget* control, bool controlExpands = false)
    {
        auto* row = newRow();
        auto* layout = static_cast<QHBoxLayout*>(row->layout());
        if (controlExpands) {
            // Long labels wrap beside a field instead of widening the window.
            label->setWordWrap(true);
            label->setFixedWidth(labelWidth);
        }
        layout->addWidget(label);
        layout->addSpacing(12);
        if (!controlExpands) {
            layout->addStretch(1);
        }
        layout->addWidget(control, controlExpands ? 1 : 0);
        return row;
    }

    // A row holding `content` alone, across the box.
    QWidget* addWide(QWidget* content)
    {
        auto* row = newRow();
        row->layout()->setContentsMargins(12, 10, 12, 10);
        static_cast<QHBoxLayout*>(row->layout())->addWidget(content, 1);
        return row;
    }

    void setTheme(const Theme& theme)
    {
        m_box->theme = theme;
        QPalette palette = m_title->palette();
        palette.setColor(QPalette::WindowText, theme.secondary);
        m_title->setPalette(palette);
        m_box->update();
    }

private:
    class Box final : public QWidget
    {
    public:
        Theme theme = Theme::forLook(false);

    protected:
        void paintEvent(QPaintEvent*) override
        {
            QPainter painter(this);
            painter.setRenderHint(QPainter::Antialiasing);
            QPainterPath shape;
            shape.addRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), 9, 9);
            painter.fillPath(shape, theme.grouped);
            painter.setPen(QPen(theme.ink(theme.dark ? 0.1 : 0.07), 1));
            painter.drawPath(shape);
            bool first = true;
            for (QObject* child : children()) {
                auto* row = qobject_cast<QWidget*>(child);
                if (row == nullptr || !row->isVisibleTo(this)) {
                    continue;
                }
                if (!first) {
                    painter.fillRect(QRectF(12, row->y(), width() - 12, 1), theme.ink(theme.dark ? 0.1 : 0.08));
                }
                first = false;
            }
        }
    };

    QWidget* newRow()
    {
        auto* row = new QWidget;
        row->setMinimumHeight(40);
        auto* layout = new QHBoxLayout(row);
        layout->setContentsMargins(12, 6, 12, 6);
        layout->setSpacing(0);
        m_rows->addWidget(row);
        return row;
    }

    QLabel* m_title;
    Box* m_box;
    QVBoxLayout* m_rows;
};

} // namespace settings

using card::setTextColour;

namespace {

const QString hostedEngine = Engines::storedName(EngineKind::Hosted);
const QString minimaxEngine = Engines::storedName(EngineKind::MiniMax);
const QString codexEngine = Engines::storedName(EngineKind::Codex);

QLabel* caption(int pixels = 12)
{
    auto* label = new QLabel;
    QFont font = label->font();
    font.setPixelSize(pixels);
    label->setFont(font);
    label->setWordWrap(true);
    return label;
}

QLabel* rowLabel()
{
    auto* label = new QLabel;
    QFont font = label->font();
    font.setPixelSize(13);
    label->setFont(font);
    return label;
}

QLineEdit* field(const QString& name)
{
    auto* edit = new QLineEdit;
    edit->setObjectName(name);
    edit->setMinimumWidth(160);
    QFont font = edit->font();
    font.setPixelSize(13);
    edit->setFont(font);
    return edit;
}

QComboBox* picker(const QString& name)
{
    auto* box = new QComboBox;
    box->setObjectName(name);
    // One width for every picker, so that their right edges and arrows line up.
    box->setFixedWidth(230);
    QFont font = box->font();
    font.setPixelSize(13);
    box->setFont(font);
    return box;
}

// Selects the entry whose data is `value`, without reporting it as the person's choice.
void selectData(QComboBox* box, const QString& value)
{
    const QSignalBlocker quiet(box);
    const int index = box->findData(value);
    box->setCurrentIndex(index >= 0 ? index : 0);
}

// Shows a stored value, unless the person is typing in that field (the value came from that typing).
void setFieldText(QLineEdit* edit, const QString& text)
{
    if (edit->text() != text && !edit->hasFocus()) {
        edit->setText(text);
        edit->setCursorPosition(0); // a long value shows its beginning
    }
}

} // namespace

SettingsView::SettingsView(QWidget* parent)
    : QWidget(parent)
{
    build();
    loadValues();
    retranslate();
    connect(SettingsNotifier::instance(), &SettingsNotifier::changed, this, [this](const QString& key) {
        if (key == Settings::Key::uiLanguage || key == Settings::Key::shortcut) {
            retranslate();
        } else {
            loadValues();
        }
    });
    setTheme(m_theme);
}

void SettingsView::build()
{
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    auto* scroll = new QScrollArea;
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    outer->addWidget(scroll);
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("settingsPage"));
    scroll->setWidget(page);
    m_column = new QVBoxLayout(page);
    m_column->setContentsMargins(20, 20, 20, 16);
    m_column->setSpacing(18);
    const auto section = [this] {
        auto* created = new settings::FormSection;
        m_sections.append(created);
        m_column->addWidget(created);
        return created;
    };

    // Brand, description and screen access.
    settings::FormSection* header = section();
    auto* brandRow = new QWidget;
    auto* brand = new QHBoxLayout(brandRow);
    brand->setContentsMargins(0, 4, 0, 4);
    brand->setSpacing(12);
    m_brand = new card::BrandMark(36);
    brand->addWidget(m_brand, 0, Qt::AlignTop);
    auto* texts = new QVBoxLayout;
    texts->setSpacing(2);
    m_title = new QLabel(QStringLiteral("Quilvant"));
    QFont titleFont = m_title->font();
    titleFont.setPixelSize(17);
    titleFont.setWeight(QFont::Bold);
    m_title->setFont(titleFont);
    m_description = caption();
    m_description->setObjectName(QStringLiteral("description"));
    texts->addWidget(m_title);
    texts->addWidget(m_description);
    brand->addLayout(texts, 1);
    header->addWide(brandRow);

    m_permissionTitle = rowLabel();
    auto* state = new QWidget;
    auto* stateLayout = new QHBoxLayout(state);
    stateLayout->setContentsMargins(0, 0, 0, 0);
    stateLayout->setSpacing(5);
    m_permissionIcon = new QLabel;
    m_permissionIcon->setFixedSize(14, 14);
    m_permissionState = rowLabel();
    m_permissionState->setObjectName(QStringLiteral("permissionState"));
    stateLayout->addWidget(m_permissionIcon);
    stateLayout->addWidget(m_permissionState);
    header->addRow(m_permissionTitle, state);
    m_permissionButtons = new QWidget;
    auto* buttons = new QHBoxLayout(m_permissionButtons);
    buttons->setContentsMargins(0, 0, 0, 0);
    buttons->setSpacing(8);
    m_openSettings = new QPushButton;
    m_openSettings->setObjectName(QStringLiteral("openScreenSettings"));
    m_openSettings->hide();
    m_checkButton = new QPushButton;
    m_checkButton->setObjectName(QStringLiteral("checkPermission"));
    buttons->addStretch(1);
    buttons->addWidget(m_openSettings);
    buttons->addWidget(m_checkButton);
    header->addWide(m_permissionButtons);
    connect(m_openSettings, &QPushButton::clicked, this, [this] {
        if (m_openScreenSettings) {
            m_openScreenSettings();
        }
    });
    connect(m_checkButton, &QPushButton::clicked, this, [this] {
        if (m_checkPermission) {
            setPermitted(m_checkPermission());
        }
    });

    // General.
    m_general = section();
    m_uiLanguageLabel = rowLabel();
    m_uiLanguage = picker(QStringLiteral("uiLanguage"));
    m_general->addRow(m_uiLanguageLabel, m_uiLanguage);
    m_launchLabel = rowLabel();
    m_launchAtLogin = new QCheckBox;
    m_launchAtLogin->setObjectName(QStringLiteral("launchAtLogin"));
    m_general->addRow(m_launchLabel, m_launchAtLogin);
    m_engineLabel = rowLabel();
    m_engine = picker(QStringLiteral("engine"));
    m_general->addRow(m_engineLabel, m_engine);
    m_languageLabel = rowLabel();
    m_language = picker(QStringLiteral("language"));
    m_general->addRow(m_languageLabel, m_language);
    m_shortcutLabel = rowLabel();
    m_shortcut = picker(QStringLiteral("shortcut"));
    for (const char* letter : {"D", "T", "S"}) {
        m_shortcut->addItem(QStringLiteral("Alt+") + QLatin1String(letter), QString::fromLatin1(letter));
    }
    m_general->addRow(m_shortcutLabel, m_shortcut);
    const WatchSettings::Row watch = WatchSettings::makeRow();
    m_general->addRow(watch.label, watch.control);

    m_shortcutHelp = new QWidget;
    m_shortcutHelp->setObjectName(QStringLiteral("shortcutHelp"));
    auto* help = new QVBoxLayout(m_shortcutHelp);
    help->setContentsMargins(0, 2, 0, 2);
    help->setSpacing(6);
    m_shortcutHelpText = caption();
    help->addWidget(m_shortcutHelpText);
    auto* commandRow = new QHBoxLayout;
    commandRow->setSpacing(8);
    m_command = field(QStringLiteral("captureCommand"));
    m_command->setReadOnly(true);
    m_command->setText(QString::fromLatin1(captureCommand));
    QFont mono = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    mono.setPixelSize(13);
    m_command->setFont(mono);
    m_copyCommand = new QPushButton;
    m_copyCommand->setObjectName(QStringLiteral("copyCommand"));
    commandRow->addWidget(m_command, 1);
    commandRow->addWidget(m_copyCommand);
    help->addLayout(commandRow);
    m_general->addWide(m_shortcutHelp)->setObjectName(QStringLiteral("shortcutHelpRow"));
    m_shortcutHelp->parentWidget()->hide();
    connect(m_copyCommand, &QPushButton::clicked, this, [this] {
        QGuiApplication::clipboard()->setText(m_command->text());
        m_copyCommand->setText(L::t(QStringLiteral("已复制")));
        QTimer::singleShot(1400, m_copyCommand, [this] { m_copyCommand->setText(L::t(QStringLiteral("复制"))); });
    });

    connect(m_uiLanguage, &QComboBox::currentIndexChanged, this, [this] {
        Settings::setValue(Settings::Key::uiLanguage, m_uiLanguage->currentData().toString());
        if (m_shortcutChanged) {
            m_shortcutChanged();
        }
    });
    connect(m_launchAtLogin, &QCheckBox::toggled, this, &SettingsView::launchAtLoginToggled);
    connect(m_engine, &QComboBox::currentIndexChanged, this, [this] {
        Settings::setValue(Settings::Key::engine, m_engine->currentData().toString());
        showEngineSection();
    });
    connect(m_language, &QComboBox::currentIndexChanged, this,
            [this] { Settings::setValue(Settings::Key::language, m_language->currentData().toString()); });
    connect(m_shortcut, &QComboBox::currentIndexChanged, this, [this] {
        Settings::setValue(Settings::Key::shortcut, m_shortcut->currentData().toString());
        if (m_shortcutChanged) {
            m_shortcutChanged();
        }
    });

    // The hosted service.
    m_serviceSection = section();
    m_serviceSection->setObjectName(QStringLiteral("serviceSection"));
    m_serviceURLLabel = rowLabel();
    m_serviceURL = field(QStringLiteral("serviceURL"));
    m_serviceURL->setPlaceholderText(QStringLiteral("https://"));
    m_serviceSection->addRow(m_serviceURLLabel, m_serviceURL, true);
    m_tokenLabel = rowLabel();
    m_token = field(QStringLiteral("serviceToken"));
    m_token->setEchoMode(QLineEdit::Password);
    m_serviceSection->addRow(m_tokenLabel, m_token, true);
    m_saveToken = new QPushButton;
    m_saveToken->setObjectName(QStringLiteral("saveToken"));
    auto* tokenButtons = new QWidget;
    auto* tokenLayout = new QHBoxLayout(tokenButtons);
    tokenLayout->setContentsMargins(0, 0, 0, 0);
    tokenLayout->addStretch(1);
    tokenLayout->addWidget(m_saveToken);
    m_serviceSection->addWide(tokenButtons);
    connect(m_serviceURL, &QLineEdit::textEdited, this,
            [](const QString& text) { Settings::setValue(Settings::Key::serviceURL, text); });
    connect(m_saveToken, &QPushButton::clicked, this,
            [this] { saveSecret(m_token, m_saveToken, Secrets::serviceAccount); });

    // The chat-completions engine with the person's own key.
    m_minimaxSection = section();
    m_minimaxSection->setObjectName(QStringLiteral("minimaxSection"));
    m_endpointLabel = rowLabel();
    m_endpoint = field(QStringLiteral("endpoint"));
    m_minimaxSection->addRow(m_endpointLabel, m_endpoint, true);
    m_minimaxModelLabel = rowLabel();
    m_minimaxModel = field(QStringLiteral("minimaxModel"));
    m_minimaxSection->addRow(m_minimaxModelLabel, m_minimaxModel, true);
    m_keyLabel = rowLabel();
    m_key = field(QStringLiteral("apiKey"));
    m_key->setEchoMode(QLineEdit::Password);
    m_minimaxSection->addRow(m_keyLabel, m_key, true);
    auto* keyButtons = new QWidget;
    auto* keyLayout = new QHBoxLayout(keyButtons);
    keyLayout->setContentsMargins(0, 0, 0, 0);
    keyLayout->setSpacing(12);
    m_keyCaption = caption();
    m_saveKey = new QPushButton;
    m_saveKey->setObjectName(QStringLiteral("saveKey"));
    keyLayout->addWidget(m_keyCaption, 1);
    keyLayout->addWidget(m_saveKey, 0, Qt::AlignTop);
    m_minimaxSection->addWide(keyButtons);
    connect(m_endpoint, &QLineEdit::textEdited, this,
            [](const QString& text) { Settings::setValue(Settings::Key::endpoint, text); });
    connect(m_minimaxModel, &QLineEdit::textEdited, this,
            [](const QString& text) { Settings::setValue(Settings::Key::minimaxModel, text); });
    connect(m_saveKey, &QPushButton::clicked, this, [this] { saveSecret(m_key, m_saveKey, Secrets::minimaxAccount); });

    // The coding-agent CLI.
    m_codexSection = section();
    m_codexSection->setObjectName(QStringLiteral("codexSection"));
    m_codexPathLabel = rowLabel();
    m_codexPath = field(QStringLiteral("codexPath"));
    m_codexSection->addRow(m_codexPathLabel, m_codexPath, true);
    m_codexModelLabel = rowLabel();
    m_codexModel = field(QStringLiteral("codexModel"));
    m_codexSection->addRow(m_codexModelLabel, m_codexModel, true);
    m_codexCaption = caption();
    m_codexSection->addWide(m_codexCaption);
    connect(m_codexPath, &QLineEdit::textEdited, this,
            [](const QString& text) { Settings::setValue(Settings::Key::codexPath, text); });
    connect(m_codexModel, &QLineEdit::textEdited, this,
            [](const QString& text) { Settings::setValue(Settings::Key::codexModel, text); });

    m_message = caption();
    m_message->setObjectName(QStringLiteral("message"));
    m_message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_message->setContentsMargins(10, 0, 10, 0);
    m_message->hide();
    m_column->addWidget(m_message);

    m_checkUpdates = new QPushButton;
    m_checkUpdates->setObjectName(QStringLiteral("checkUpdates"));
    auto* updates = new QHBoxLayout;
    updates->addWidget(m_checkUpdates);
    updates->addStretch(1);
    m_column->addLayout(updates);
    connect(m_checkUpdates, &QPushButton::clicked, this, [] {
        QString website = Settings::serviceWebsite().trimmed();
        if (!website.endsWith(QLatin1Char('/'))) {
            website += QLatin1Char('/');
        }
        const QUrl download = QUrl(website).resolved(QUrl(QStringLiteral("download/")));
        if (download.scheme() == QStringLiteral("https") || download.scheme() == QStringLiteral("http")) {
            QDesktopServices::openUrl(download);
        }
    });

    m_privacy = section();
    m_privacyCaption = caption();
    m_privacy->addWide(m_privacyCaption);
    m_privacy->addWide(new HistorySettings);

    m_version = caption(11);
    m_version->setObjectName(QStringLiteral("version"));
    m_version->setContentsMargins(10, 0, 0, 0);
    m_column->addWidget(m_version);
    m_column->addStretch(1);
}

void SettingsView::retranslate()
{
    m_description->setText(L::t(QStringLiteral("首次使用说明")));
    m_permissionTitle->setText(L::t(QStringLiteral("屏幕录制权限")));
    m_openSettings->setText(L::t(QStringLiteral("打开系统设置")));
    m_checkButton->setText(L::t(QStringLiteral("检查权限")));
    refreshPermission();

    m_general->setTitle(L::t(QStringLiteral("通用")));
    m_uiLanguageLabel->setText(L::t(QStringLiteral("界面语言")));
    m_launchLabel->setText(L::t(QStringLiteral("登录后自动启动")));
    m_launchAtLogin->setAccessibleName(m_launchLabel->text());
    m_engineLabel->setText(L::t(QStringLiteral("翻译服务")));
    m_languageLabel->setText(L::t(QStringLiteral("目标语言")));
    m_shortcutLabel->setText(L::t(QStringLiteral("全局快捷键")));
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
        m_engine->addItem(QStringLiteral("Quilvant · ") + L::t(QStringLiteral("翻译服务")), hostedEngine);
        m_engine->addItem(QStringLiteral("MiniMax · ") + L::t(QStringLiteral("自带 API Key")), minimaxEngine);
        m_engine->addItem(QStringLiteral("Codex · ") + L::t(QStringLiteral("高级设置")), codexEngine);
    }
    {
        const QSignalBlocker quiet(m_language);
        m_language->clear();
        for (const TargetLanguage::Entry& entry : TargetLanguage::all()) {
            m_language->addItem(TargetLanguage::label(entry.code), entry.code);
        }
    }

    m_serviceSection->setTitle(QStringLiteral("Quilvant · ") + L::t(QStringLiteral("翻译服务")));
    m_serviceURLLabel->setText(L::t(QStringLiteral("服务地址")));
    m_tokenLabel->setText(L::t(QStringLiteral("访问令牌 · 保存在系统密钥环")));
    m_saveToken->setText(L::t(QStringLiteral("保存访问令牌")));
    m_minimaxSection->setTitle(QStringLiteral("MiniMax · ") + L::t(QStringLiteral("自带 API Key")));
    m_endpointLabel->setText(L::t(QStringLiteral("HTTPS API 地址")));
    m_minimaxModelLabel->setText(L::t(QStringLiteral("模型名称")));
    m_keyLabel->setText(L::t(QStringLiteral("API Key · 保存在 macOS 钥匙串")));
    m_saveKey->setText(L::t(QStringLiteral("保存 API Key")));
    m_keyCaption->setText(L::t(QStringLiteral("自己的 Key 说明")));
    m_codexSection->setTitle(QStringLiteral("Codex · ") + L::t(QStringLiteral("高级设置")));
    m_codexPathLabel->setText(L::t(QStringLiteral("CLI 路径（留空自动检测）")));
    m_codexModelLabel->setText(L::t(QStringLiteral("模型名称（留空使用 CLI 默认）")));
    m_codexCaption->setText(L::t(QStringLiteral("Codex 说明")));
    m_checkUpdates->setText(L::t(QStringLiteral("检查更新")));
    m_privacy->setTitle(L::t(QStringLiteral("隐私")));
    m_privacyCaption->setText(L::t(QStringLiteral("服务隐私说明")));
    const QString version = QCoreApplication::applicationVersion();
    m_version->setText(QStringLiteral("Quilvant ") + (version.isEmpty() ? QStringLiteral(QUILVANT_VERSION) : version));
    for (auto* edit : {m_serviceURL, m_token, m_endpoint, m_minimaxModel, m_key, m_codexPath, m_codexModel}) {
        const auto* row = edit->parentWidget();
        const auto* label = row != nullptr ? row->findChild<QLabel*>() : nullptr;
        if (label != nullptr) {
            edit->setAccessibleName(label->text());
        }
    }
    loadValues();
}

void SettingsView::loadValues()
{
    selectData(m_uiLanguage, Settings::uiLanguage());
    selectData(m_engine, Engines::storedName(Engines::fromSettings()));
    // A loose stored value shows as the language it stands for.
    selectData(m_language, TargetLanguage::code(Settings::language()));
    selectData(m_shortcut, Settings::shortcut());
    setFieldText(m_serviceURL, Settings::serviceURL());
    setFieldText(m_endpoint, Settings::endpoint());
    setFieldText(m_minimaxModel, Settings::minimaxModel());
    setFieldText(m_codexPath, Settings::codexPath());
    setFieldText(m_codexModel, Settings::codexModel());
    {
        const QSignalBlocker quiet(m_launchAtLogin);
        m_launchAtLogin->setChecked(Autostart::isEnabled());
    }
    m_checkUpdates->setEnabled(!Settings::serviceWebsite().trimmed().isEmpty());
    showEngineSection();
}

void SettingsView::showEngineSection()
{
    const EngineKind engine = Engines::fromSettings();
    m_serviceSection->setVisible(engine == EngineKind::Hosted);
    m_minimaxSection->setVisible(engine == EngineKind::MiniMax);
    m_codexSection->setVisible(engine == EngineKind::Codex);
}

void SettingsView::setPermitted(bool permitted)
{
    m_permitted = permitted;
    refreshPermission();
}

void SettingsView::setOpenScreenSettings(std::function<void()> open)
{
    m_openScreenSettings = std::move(open);
    refreshPermission();
}

void SettingsView::refreshPermission()
{
    m_permissionState->setText(L::t(m_permitted ? QStringLiteral("已允许") : QStringLiteral("尚未允许")));
    const QColor ink = m_permitted ? m_theme.secondary : m_theme.warning;
    setTextColour(m_permissionState, ink);
    m_permissionIcon->setPixmap(
        Icons::pixmap(m_permitted ? QStringLiteral("checkmark.circle") : QStringLiteral("rectangle.dashed"), 14, ink,
                      devicePixelRatioF()));
    // Nothing to open or check once access is allowed (always so on X11).
    m_openSettings->setVisible(!m_permitted && m_openScreenSettings != nullptr);
    m_permissionButtons->parentWidget()->setVisible(!m_permitted);
}

void SettingsView::setShortcutUnavailable(bool unavailable)
{
    m_shortcutUnavailable = unavailable;
    m_shortcutHelp->parentWidget()->setVisible(unavailable);
    m_copyCommand->setText(L::t(QStringLiteral("复制")));
}

void SettingsView::prepareToShow()
{
    if (m_preview) {
        return;
    }
    const QString stored = Settings::language();
    const QString code = TargetLanguage::code(stored);
    if (code != stored) {
        Settings::setValue(Settings::Key::language, code);
    }
    loadValues();
    fillSecret(m_key, Secrets::minimaxAccount);
    fillSecret(m_token, Secrets::serviceAccount);
}

void SettingsView::fillSecret(QLineEdit* field, const QString& account)
{
    field->setModified(false);
    QPointer<QLineEdit> target(field);
    Secrets::readLater(account, this, [this, target](const Secrets::Stored& stored) {
        if (!stored.message().isEmpty()) {
            setMessage(stored.message()); // a locked or missing keyring is said, not shown as an empty field
            return;
        }
        // What the person typed while the keyring answered wins over the stored value.
        if (target && !target->isModified()) {
            target->setText(stored.value);
        }
    });
}

void SettingsView::saveSecret(QLineEdit* field, QPushButton* button, const QString& account)
{
    button->setEnabled(false);
    setMessage(L::t(QStringLiteral("正在保存…")));
    QPointer<QPushButton> guard(button);
    Secrets::saveLater(field->text(), account, this, [this, guard](Outcome<void> outcome) {
        if (guard) {
            guard->setEnabled(true);
        }
        setMessage(outcome ? L::t(QStringLiteral("已保存到钥匙串")) : outcome.error().description());
    });
}

void SettingsView::launchAtLoginToggled(bool on)
{
    const Outcome<void> outcome = Autostart::setEnabled(on, QCoreApplication::applicationFilePath());
    if (!outcome) {
        setMessage(outcome.error().description());
    }
    // The toggle shows what the desktop will do, read back from the files.
    const QSignalBlocker quiet(m_launchAtLogin);
    m_launchAtLogin->setChecked(Autostart::isEnabled());
}

void SettingsView::setMessage(const QString& message)
{
    m_messageText = message;
    m_message->setText(message);
    m_message->setVisible(!message.isEmpty());
    Q_EMIT messageChanged(message);
}

void SettingsView::setTheme(const Theme& theme)
{
    m_theme = theme;
    setPalette(theme.widgetPalette());
    setAutoFillBackground(true);
    m_brand->setTheme(theme);
    for (settings::FormSection* section : m_sections) {
        section->setTheme(theme);
    }
    for (QLabel* label :
         {m_description, m_keyCaption, m_codexCaption, m_privacyCaption, m_message, m_version, m_shortcutHelpText}) {
        setTextColour(label, theme.secondary);
    }
    refreshPermission();
    for (HistorySettings* rows : findChildren<HistorySettings*>()) {
        rows->setTheme(theme);
    }
    update();
}

} // namespace quilvant
