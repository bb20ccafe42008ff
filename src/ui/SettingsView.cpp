#include "ui/SettingsView.h"

#include "foundation/L.h"
#include "foundation/Settings.h"
#include "foundation/SettingsNotifier.h"
#include "foundation/TargetLanguage.h"
#include "ui/CardParts.h"
#include "ui/HistorySettings.h"
#include "ui/StockLook.h"
#include "ui/settings/EngineSections.h"
#include "ui/settings/FormControls.h"
#include "ui/settings/GeneralSection.h"
#include "ui/settings/PermissionSection.h"
#include "ui/settings/PrivacySection.h"

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QUrl>
#include <QVBoxLayout>

namespace quilvant {

using card::setTextColour;

SettingsView::SettingsView(QWidget* parent)
    : QWidget(parent)
{
    build();
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

template <typename S>
S* SettingsView::add()
{
    auto* section = new S;
    m_sections.append(section);
    m_column->addWidget(section);
    connect(section, &settings::Section::said, this, &SettingsView::setMessage);
    return section;
}

void SettingsView::build()
{
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    // Only for screens smaller than the window: at its own size the whole form shows.
    m_scroll = new QScrollArea;
    m_scroll->setFrameShape(QFrame::NoFrame);
    m_scroll->setWidgetResizable(true);
    m_scroll->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_scroll->setFocusPolicy(Qt::NoFocus); // a Tab stop that shows nothing
    outer->addWidget(m_scroll);
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("settingsPage"));
    m_scroll->setWidget(page);
    m_column = new QVBoxLayout(page);
    m_column->setContentsMargins(20, 12, 20, 8);
    m_column->setSpacing(10);

    // The sections in the order the form shows them; a new one is a type of its own in ui/settings and a line
    // here.
    m_permission = add<settings::PermissionSection>();
    m_general = add<settings::GeneralSection>();
    add<settings::HostedSection>();
    add<settings::MiniMaxSection>();
    add<settings::CodexSection>();

    m_message = new QLabel;
    m_message->setObjectName(QStringLiteral("message"));
    m_message->setFont(card::pixelFont(12));
    m_message->setWordWrap(true);
    m_message->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_message->setContentsMargins(10, 0, 10, 0);
    m_message->hide();
    m_column->addWidget(m_message);

    m_checkUpdates = settings::button(QStringLiteral("checkUpdates"));
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

    add<settings::PrivacySection>();

    m_version = new QLabel;
    m_version->setObjectName(QStringLiteral("version"));
    m_version->setFont(card::pixelFont(11));
    m_version->setContentsMargins(10, 0, 0, 0);
    // The version and the way to a newer one share the last line, which keeps the form inside the window.
    auto* footer = new QHBoxLayout;
    footer->addWidget(m_version, 1);
    footer->addWidget(m_checkUpdates);
    m_column->addLayout(footer);
    m_column->addStretch(1);
}

void SettingsView::retranslate()
{
    for (settings::Section* section : m_sections) {
        section->retranslate();
    }
    m_checkUpdates->setText(L::t(QStringLiteral("检查更新")));
    const QString version = QCoreApplication::applicationVersion();
    m_version->setText(QStringLiteral("Quilvant ") + (version.isEmpty() ? QStringLiteral(QUILVANT_VERSION) : version));
    loadValues();
    alignLabels();
}

void SettingsView::loadValues()
{
    for (settings::Section* section : m_sections) {
        section->loadValues();
    }
    m_checkUpdates->setEnabled(!Settings::serviceWebsite().trimmed().isEmpty());
}

void SettingsView::alignLabels()
{
    // One label column for the whole form, as wide as its widest label (hidden sections included, so that the
    // controls do not jump when the engine changes).
    int column = 0;
    for (const settings::Section* section : m_sections) {
        column = qMax(column, section->labelColumnHint());
    }
    for (settings::Section* section : m_sections) {
        section->setLabelColumn(column);
    }
}

void SettingsView::setPermitted(bool permitted)
{
    m_permission->setPermitted(permitted);
}

bool SettingsView::permitted() const
{
    return m_permission->permitted();
}

void SettingsView::setCheckPermission(std::function<bool()> check)
{
    m_permission->setCheckPermission(std::move(check));
}

void SettingsView::setShortcutChanged(std::function<void()> callback)
{
    m_general->setShortcutChanged(std::move(callback));
}

void SettingsView::setShortcutUnavailable(bool unavailable)
{
    m_general->setShortcutUnavailable(unavailable);
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
    for (settings::Section* section : m_sections) {
        section->prepareToShow();
    }
}

void SettingsView::focusFirstControl()
{
    m_general->firstControl()->setFocus(Qt::TabFocusReason);
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
    // Every control of every section, also of sections added later, in one look.
    StockLook::styleControls(this, theme);
    m_scroll->verticalScrollBar()->setStyleSheet(card::scrollBarStyleSheet(theme));
    for (settings::Section* section : m_sections) {
        section->setTheme(theme);
    }
    // dynamic_cast: the two carry no meta-object of their own, so findChildren would hand out every picker and
    // check box as one of them.
    for (QComboBox* box : findChildren<QComboBox*>()) {
        if (auto* picker = dynamic_cast<settings::Picker*>(box)) {
            picker->setTheme(theme);
        }
    }
    for (QCheckBox* box : findChildren<QCheckBox*>()) {
        if (auto* toggle = dynamic_cast<settings::Toggle*>(box)) {
            toggle->setTheme(theme);
        }
    }
    for (HistorySettings* rows : findChildren<HistorySettings*>()) {
        rows->setTheme(theme);
    }
    setTextColour(m_message, theme.secondary);
    setTextColour(m_version, theme.secondary);
    update();
}

} // namespace quilvant
