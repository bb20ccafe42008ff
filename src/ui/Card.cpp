#include "ui/Card.h"

#include "foundation/L.h"
#include "foundation/Settings.h"
#include "foundation/SettingsNotifier.h"
#include "foundation/TargetLanguage.h"
#include "session/Model.h"
#include "ui/CardParts.h"
#include "ui/HeaderDragView.h"
#include "ui/IconControl.h"
#include "ui/Icons.h"
#include "ui/SornSourceTextView.h"
#include "ui/SourceEditor.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPainter>
#include <QPainterPath>
#include <QPropertyAnimation>
#include <QTextLayout>
#include <QVBoxLayout>
#include <QtMath>

namespace quilvant {

using card::pixelFont;
using card::setTextColour;

namespace {

constexpr int sourceFieldHeight = 106;
constexpr int sourceFieldGap = 6;

QHBoxLayout* row(QVBoxLayout* parent, int height)
{
    auto* holder = new QWidget;
    holder->setFixedHeight(height);
    auto* layout = new QHBoxLayout(holder);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    parent->addWidget(holder);
    return layout;
}

} // namespace

Card::Card(Model* model, QWidget* parent)
    : QWidget(parent)
    , m_model(model)
{
    setMinimumSize(380, 410);
    setAttribute(Qt::WA_TranslucentBackground);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 16, 16, 16);
    layout->setSpacing(0);
    buildHeader(layout);
    buildSource(layout);
    buildTranslation(layout);
    buildFooter(layout);

    connectModel();
    connect(SettingsNotifier::instance(), &SettingsNotifier::changed, this, [this](const QString& key) {
        if (key == Settings::Key::uiLanguage || key == Settings::Key::language || key == Settings::Key::shortcut) {
            retranslate();
        }
    });
    retranslate();
    setTheme(m_theme);
}

void Card::buildHeader(QVBoxLayout* layout)
{
    m_header = new HeaderDragView;
    m_header->setObjectName(QStringLiteral("header"));
    m_header->setFixedHeight(28);
    auto* header = new QHBoxLayout(m_header);
    header->setContentsMargins(0, 0, 0, 0);
    header->setSpacing(0);

    m_brand = new card::BrandMark(26);
    m_name = new QLabel(QStringLiteral("Quilvant"));
    QFont nameFont = pixelFont(15, QFont::DemiBold);
    nameFont.setLetterSpacing(QFont::AbsoluteSpacing, 0.2);
    m_name->setFont(nameFont);
    m_name->setAttribute(Qt::WA_TransparentForMouseEvents);
    m_copyNotice = new card::CopyNotice;
    m_copyNotice->setObjectName(QStringLiteral("copyNotice"));

    m_settings = new IconControl(QStringLiteral("gearshape"), 28, 12);
    m_settings->setObjectName(QStringLiteral("settingsButton"));
    m_pin = new IconControl(QStringLiteral("pin"), 28, 12);
    m_pin->setObjectName(QStringLiteral("pinButton"));
    m_close = new IconControl(QStringLiteral("xmark"), 28, 10);
    m_close->setObjectName(QStringLiteral("closeButton"));

    header->addWidget(m_brand);
    header->addSpacing(8);
    header->addWidget(m_name);
    header->addStretch(1);
    header->addWidget(m_copyNotice, 0, Qt::AlignVCenter);
    header->addSpacing(8);
    // Three buttons of 28 and two gaps of 5: exactly the 94 points the header leaves to its buttons.
    header->addWidget(m_settings);
    header->addSpacing(5);
    header->addWidget(m_pin);
    header->addSpacing(5);
    header->addWidget(m_close);
    layout->addWidget(m_header);
    layout->addSpacing(12);

    connect(m_settings, &IconControl::clicked, this, [this] {
        if (m_model && m_model->requestSettings()) {
            m_model->requestSettings()();
        }
    });
    connect(m_pin, &IconControl::clicked, this, [this] {
        if (m_model) {
            m_model->setPinned(!m_model->pinned());
        }
    });
    connect(m_close, &IconControl::clicked, this, &Card::closeRequested);
}

void Card::buildSource(QVBoxLayout* layout)
{
    QHBoxLayout* sourceRow = row(layout, 24);
    m_sourceToggle = new card::DisclosureButton;
    m_sourceToggle->setObjectName(QStringLiteral("sourceToggle"));
    m_copySource = new IconControl(QStringLiteral("square.on.square"), 24, 12);
    m_copySource->setObjectName(QStringLiteral("copySourceButton"));
    sourceRow->addWidget(m_sourceToggle, 1);
    sourceRow->addWidget(m_copySource);

    m_sourceBox = new QWidget;
    auto* box = new QVBoxLayout(m_sourceBox);
    box->setContentsMargins(0, sourceFieldGap, 0, 0);
    box->setSpacing(0);
    m_sourceEditor = new SourceEditor(m_model);
    m_sourceEditor->setObjectName(QStringLiteral("sourceEditor"));
    m_sourceEditor->setMinimumHeight(0);
    m_sourceEditor->setMaximumHeight(sourceFieldHeight);
    m_sourceEditor->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    box->addWidget(m_sourceEditor);
    m_sourceBox->setFixedHeight(sourceFieldGap + sourceFieldHeight);
    layout->addWidget(m_sourceBox);

    layout->addSpacing(12);
    m_divider = new card::Divider;
    layout->addWidget(m_divider);
    layout->addSpacing(12);

    connect(m_sourceToggle, &QAbstractButton::clicked, this, [this] {
        if (m_model) {
            m_model->setSourceExpanded(!m_model->sourceExpanded());
        }
    });
    connect(m_copySource, &IconControl::clicked, this, [this] {
        if (m_model) {
            m_model->copy(m_model->source(), QStringLiteral("原文"));
        }
    });
}

void Card::buildTranslation(QVBoxLayout* layout)
{
    QHBoxLayout* translationRow = row(layout, 24);
    m_language = new QLabel;
    m_language->setObjectName(QStringLiteral("languageLabel"));
    m_language->setFont(pixelFont(11, QFont::Medium));
    m_copyTranslation = new IconControl(QStringLiteral("square.on.square"), 24, 12);
    m_copyTranslation->setObjectName(QStringLiteral("copyTranslationButton"));
    translationRow->addWidget(m_language);
    translationRow->addStretch(1);
    translationRow->addWidget(m_copyTranslation);
    layout->addSpacing(7);
    connect(m_copyTranslation, &IconControl::clicked, this, [this] {
        if (m_model) {
            m_model->copy(m_model->translated(), QStringLiteral("译文"));
        }
    });

    // The error line, the translation and the empty state share the rest of the card, from its top: the error
    // line never grows, the translation and the empty state take what is left, and without either a spacer does.
    auto* area = new QWidget;
    auto* stack = new QVBoxLayout(area);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);
    layout->addWidget(area, 1);

    m_errorLine = new QWidget;
    m_errorLine->setObjectName(QStringLiteral("errorLine"));
    m_errorLine->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Maximum);
    auto* error = new QHBoxLayout(m_errorLine);
    error->setContentsMargins(0, 0, 0, 8);
    error->setSpacing(6);
    m_errorIcon = new QLabel;
    m_errorIcon->setObjectName(QStringLiteral("errorIcon"));
    m_errorText = new QLabel;
    m_errorText->setObjectName(QStringLiteral("errorText"));
    m_errorText->setFont(pixelFont(13));
    // As high as the text's first line, so that the symbol sits beside it; longer texts wrap under themselves.
    m_errorIcon->setFixedSize(14, m_errorText->fontMetrics().height());
    m_errorText->setWordWrap(true);
    m_errorText->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_errorText->setTextInteractionFlags(Qt::TextSelectableByMouse);
    error->addWidget(m_errorIcon, 0, Qt::AlignTop);
    error->addWidget(m_errorText, 1, Qt::AlignTop);
    stack->addWidget(m_errorLine);

    m_translation = new card::TranslationText;
    m_translation->setObjectName(QStringLiteral("translationText"));
    stack->addWidget(m_translation, 1);

    m_emptyState = new QWidget;
    m_emptyState->setObjectName(QStringLiteral("emptyState"));
    auto* empty = new QVBoxLayout(m_emptyState);
    empty->setContentsMargins(0, 2, 0, 0);
    empty->setSpacing(6);
    m_emptyTitle = new QLabel;
    m_emptyTitle->setFont(pixelFont(18, QFont::Medium));
    m_emptyTitle->setWordWrap(true);
    m_emptyHint = new QLabel;
    m_emptyHint->setFont(pixelFont(12));
    m_emptyHint->setWordWrap(true);
    empty->addWidget(m_emptyTitle);
    empty->addWidget(m_emptyHint);
    empty->addStretch(1);
    stack->addWidget(m_emptyState, 1);
    stack->addStretch(0);
}

void Card::buildFooter(QVBoxLayout* layout)
{
    layout->addSpacing(12);
    QHBoxLayout* footer = row(layout, 28);
    m_spinner = new card::Spinner;
    m_spinner->setObjectName(QStringLiteral("progress"));
    m_status = new card::ElidingLabel;
    m_status->setObjectName(QStringLiteral("statusLabel"));
    m_status->setFont(pixelFont(10));
    m_mainButton = new card::MainButton;
    m_mainButton->setObjectName(QStringLiteral("translateButton"));
    footer->addWidget(m_spinner);
    footer->addWidget(m_status, 1);
    footer->addSpacing(8);
    footer->addWidget(m_mainButton);
    connect(m_mainButton, &QAbstractButton::clicked, this, &Card::mainButtonClicked);
}

void Card::connectModel()
{
    if (!m_model) {
        return;
    }
    connect(m_model, &Model::sourceChanged, this, &Card::showSource);
    connect(m_model, &Model::translatedChanged, this, &Card::showTranslation);
    connect(m_model, &Model::errorChanged, this, &Card::showTranslation);
    connect(m_model, &Model::statusChanged, this, [this] { m_status->setText(m_model->status()); });
    connect(m_model, &Model::busyChanged, this, &Card::showBusy);
    connect(m_model, &Model::pinnedChanged, this, &Card::showPinned);
    connect(m_model, &Model::copiedChanged, this,
            [this] { showCopyNotice(m_model->copied(), m_animated && isVisible()); });
    connect(m_model, &Model::sourceExpandedChanged, this, [this] { showExpanded(m_animated && isVisible()); });
    showSource();
    showTranslation();
    showBusy();
    showPinned();
    showCopyNotice(m_model->copied(), false);
    showExpanded(false);
}

void Card::retranslate()
{
    m_settings->setHelp(L::t(QStringLiteral("设置")));
    m_close->setHelp(L::t(QStringLiteral("关闭 · Esc")));
    m_copySource->setHelp(L::t(QStringLiteral("复制原文")));
    m_copyTranslation->setHelp(L::t(QStringLiteral("复制译文")));
    m_sourceToggle->setText(L::t(QStringLiteral("原文")));
    m_sourceEditor->textView()->retranslate();
    m_language->setText(TargetLanguage::label(Settings::language()));
    m_copyNotice->setText(L::t(QStringLiteral("已复制")));
    m_emptyTitle->setText(L::t(QStringLiteral("框选，读懂。")));
    m_emptyHint->setText(L::t(QStringLiteral("按 ⌥ D 框选英文，或在上方粘贴文字。")));
    if (m_model) {
        m_status->setText(m_model->status());
        showBusy();
        showPinned();
        showExpanded(false);
    }
}

void Card::setTheme(const Theme& theme)
{
    m_theme = theme;
    setTextColour(m_name, theme.primary);
    setTextColour(m_language, theme.secondary);
    setTextColour(m_errorText, theme.warning);
    m_errorIcon->setPixmap(
        Icons::pixmap(QStringLiteral("exclamationmark.circle"), 14, theme.warning, devicePixelRatioF()));
    m_errorIcon->setAlignment(Qt::AlignCenter);
    setTextColour(m_emptyTitle, theme.secondary);
    setTextColour(m_emptyHint, theme.tertiary);
    m_status->setColour(theme.secondary);
    for (IconControl* control : {m_settings, m_pin, m_close, m_copySource, m_copyTranslation}) {
        control->setTheme(theme);
    }
    m_copyNotice->setTheme(theme);
    m_brand->setTheme(theme);
    m_sourceToggle->setTheme(theme);
    m_sourceEditor->setTheme(theme);
    m_divider->setTheme(theme);
    m_translation->setTheme(theme);
    m_spinner->setTheme(theme);
    update();
}

void Card::setOpaque(bool opaque)
{
    m_opaque = opaque;
    update();
}

void Card::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    if (m_opaque) {
        painter.fillRect(rect(), m_theme.opaqueMaterial());
        painter.setPen(QPen(m_theme.ink(0.14), 1));
        painter.drawRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5));
        return;
    }
    QPainterPath shape;
    shape.addRoundedRect(QRectF(rect()).adjusted(0.35, 0.35, -0.35, -0.35), 16, 16);
    painter.fillPath(shape, m_theme.material);
    painter.setPen(QPen(m_theme.ink(0.1), 0.7));
    painter.drawPath(shape);
}

void Card::showSource()
{
    const bool hasSource = m_model && !m_model->source().isEmpty();
    m_copySource->setEnabled(hasSource);
    m_mainButton->setEnabled(m_model && (m_model->busy() || !m_model->source().trimmed().isEmpty()));
}

void Card::showTranslation()
{
    if (!m_model) {
        return;
    }
    const QString& translated = m_model->translated();
    m_translation->showTranslation(translated);
    m_copyTranslation->setEnabled(!translated.isEmpty());
    const bool hasError = m_model->error().has_value();
    if (hasError) {
        m_errorText->setText(*m_model->error());
        // Beside the first line as it is set, in whichever font supplies its glyphs (a CJK line stands taller).
        QTextLayout first(*m_model->error(), m_errorText->font());
        first.beginLayout();
        QTextLine line = first.createLine();
        line.setLineWidth(1e6);
        first.endLayout();
        m_errorIcon->setFixedHeight(qMax(m_errorText->fontMetrics().height(), qCeil(line.height())));
    }
    m_errorLine->setVisible(hasError);
    m_translation->setVisible(!translated.isEmpty());
    m_emptyState->setVisible(translated.isEmpty() && !m_model->busy() && !hasError);
}

void Card::showBusy()
{
    if (!m_model) {
        return;
    }
    const bool busy = m_model->busy();
    m_spinner->setVisible(busy);
    m_mainButton->setSymbol(busy ? QStringLiteral("stop.fill") : QStringLiteral("arrow.turn.down.right"));
    m_mainButton->setText(L::t(busy ? QStringLiteral("停止") : QStringLiteral("翻译")));
    m_mainButton->setAccessibleName(m_mainButton->text());
    m_mainButton->updateGeometry();
    showSource();
    showTranslation();
}

void Card::showPinned()
{
    if (!m_model) {
        return;
    }
    const bool pinned = m_model->pinned();
    m_pin->setSymbol(pinned ? QStringLiteral("pin.fill") : QStringLiteral("pin"));
    m_pin->setActive(pinned);
    m_pin->setHelp(L::t(pinned ? QStringLiteral("取消固定") : QStringLiteral("固定窗口")));
}

void Card::showExpanded(bool animated)
{
    if (!m_model) {
        return;
    }
    const bool expanded = m_model->sourceExpanded();
    m_sourceToggle->setExpanded(expanded);
    const QString help = L::t(expanded ? QStringLiteral("收起原文") : QStringLiteral("展开原文"));
    m_sourceToggle->setToolTip(help);
    m_sourceToggle->setAccessibleName(help);

    const int open = sourceFieldGap + sourceFieldHeight;
    auto* running = m_sourceBox->findChild<QPropertyAnimation*>();
    if (running != nullptr) {
        running->stop();
        running->deleteLater();
    }
    if (!animated) {
        m_sourceBox->setFixedHeight(open);
        m_sourceBox->setVisible(expanded);
        return;
    }
    // Both bounds move together, so the rows below slide with the field.
    m_sourceBox->setVisible(true);
    m_sourceBox->setMinimumHeight(0);
    auto* animation = new QPropertyAnimation(m_sourceBox, "maximumHeight", m_sourceBox);
    animation->setDuration(160);
    animation->setEasingCurve(QEasingCurve::InOutQuad);
    animation->setStartValue(expanded ? 0 : m_sourceBox->height());
    animation->setEndValue(expanded ? open : 0);
    connect(animation, &QPropertyAnimation::finished, m_sourceBox, [this, expanded, open] {
        m_sourceBox->setFixedHeight(open);
        m_sourceBox->setVisible(expanded);
    });
    animation->start(QAbstractAnimation::DeleteWhenStopped);
}

void Card::showCopyNotice(const QString& label, bool animated)
{
    m_copyNotice->present(!label.isEmpty(), animated);
}

void Card::mainButtonClicked()
{
    if (!m_model) {
        return;
    }
    if (!m_model->busy()) {
        m_model->translate();
        return;
    }
    m_model->stop();
    m_model->setStatus(QStringLiteral("已停止"));
}

} // namespace quilvant
