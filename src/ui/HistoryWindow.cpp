#include "ui/HistoryWindow.h"

#include "foundation/EngineKind.h"
#include "foundation/L.h"
#include "foundation/Settings.h"
#include "foundation/SettingsNotifier.h"
#include "foundation/TargetLanguage.h"
#include "history/History.h"
#include "history/HistoryExport.h"
#include "platform/ColorScheme.h"
#include "ui/SornPalette.h"
#include "ui/StockLook.h"

#include <QApplication>
#include <QClipboard>
#include <QFileDialog>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QShortcut>
#include <QSplitter>
#include <QStandardPaths>
#include <QVBoxLayout>
#include <algorithm>

namespace quilvant {

namespace {

QString firstLine(const QString& text)
{
    const QString trimmed = text.trimmed();
    const qsizetype end = trimmed.indexOf(QLatin1Char('\n'));
    return end < 0 ? trimmed : trimmed.left(end) + QStringLiteral(" …");
}

// Dates read in the interface's language, whatever the system's.
QLocale interfaceLocale()
{
    return L::chinese() ? QLocale(QLocale::Chinese, QLocale::China) : QLocale(QLocale::English, QLocale::UnitedKingdom);
}

QPlainTextEdit* textView()
{
    auto* view = new QPlainTextEdit;
    view->setReadOnly(true);
    view->setTabChangesFocus(true);
    return view;
}

} // namespace

HistoryWindow::HistoryWindow(History& history, std::function<void(const HistoryEntry&)> openInCard, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , m_history(history)
    , m_openInCard(std::move(openInCard))
    , m_search(new QLineEdit)
    , m_list(new QListWidget)
    , m_count(new QLabel)
    , m_sourceLabel(new QLabel)
    , m_translationLabel(new QLabel)
    , m_details(new QLabel)
    , m_source(textView())
    , m_translation(textView())
    , m_copySource(new QPushButton)
    , m_copyTranslation(new QPushButton)
    , m_open(new QPushButton)
    , m_delete(new QPushButton)
    , m_exportCsv(new QPushButton)
    , m_exportCards(new QPushButton)
{
    setObjectName(QStringLiteral("historyWindow"));
    resize(760, 520);
    setMinimumSize(520, 360);
    m_search->setClearButtonEnabled(true);
    m_search->setObjectName(QStringLiteral("historySearch"));
    m_list->setObjectName(QStringLiteral("historyList"));
    m_details->setObjectName(QStringLiteral("historyDetails"));
    m_list->setTextElideMode(Qt::ElideRight);
    m_list->setUniformItemSizes(true);
    m_list->setAlternatingRowColors(true);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(14, 14, 14, 12);
    layout->setSpacing(10);
    auto* top = new QHBoxLayout;
    top->addWidget(m_search, 1);
    top->addWidget(m_count);
    layout->addLayout(top);

    auto* detail = new QWidget;
    auto* detailLayout = new QVBoxLayout(detail);
    detailLayout->setContentsMargins(0, 0, 0, 0);
    detailLayout->setSpacing(6);
    const auto heading = [detailLayout](QLabel* label, QPushButton* copy) {
        auto* row = new QHBoxLayout;
        QFont font = label->font();
        font.setWeight(QFont::DemiBold);
        label->setFont(font);
        row->addWidget(label, 1);
        row->addWidget(copy);
        detailLayout->addLayout(row);
    };
    heading(m_sourceLabel, m_copySource);
    detailLayout->addWidget(m_source, 1);
    heading(m_translationLabel, m_copyTranslation);
    detailLayout->addWidget(m_translation, 1);
    m_details->setWordWrap(true);
    detailLayout->addWidget(m_details);

    auto* split = new QSplitter;
    split->addWidget(m_list);
    split->addWidget(detail);
    split->setStretchFactor(0, 1);
    split->setStretchFactor(1, 1);
    split->setChildrenCollapsible(false);
    layout->addWidget(split, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_exportCsv);
    buttons->addWidget(m_exportCards);
    buttons->addStretch(1);
    buttons->addWidget(m_delete);
    buttons->addWidget(m_open);
    layout->addLayout(buttons);
    m_open->setDefault(true);

    m_typing.setSingleShot(true);
    m_typing.setInterval(60); // a burst of keys asks once
    connect(&m_typing, &QTimer::timeout, this, &HistoryWindow::refresh);
    connect(m_search, &QLineEdit::textChanged, this, [this] { m_typing.start(); });
    connect(m_search, &QLineEdit::returnPressed, this, &HistoryWindow::openCurrent);
    connect(m_list, &QListWidget::currentRowChanged, this, &HistoryWindow::showCurrent);
    connect(m_list, &QListWidget::itemActivated, this, &HistoryWindow::openCurrent);
    connect(m_copySource, &QPushButton::clicked, this, [this] { copy(m_source->toPlainText()); });
    connect(m_copyTranslation, &QPushButton::clicked, this, [this] { copy(m_translation->toPlainText()); });
    connect(m_open, &QPushButton::clicked, this, &HistoryWindow::openCurrent);
    connect(m_delete, &QPushButton::clicked, this, &HistoryWindow::deleteCurrent);
    connect(m_exportCsv, &QPushButton::clicked, this, [this] { chooseExport(Format::Csv); });
    connect(m_exportCards, &QPushButton::clicked, this, [this] { chooseExport(Format::Cards); });
    connect(new QShortcut(QKeySequence::Find, this), &QShortcut::activated, this, [this] {
        m_search->setFocus(Qt::ShortcutFocusReason);
        m_search->selectAll();
    });
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this, &QWidget::close);
    connect(new QShortcut(QKeySequence::Delete, m_list, nullptr, nullptr, Qt::WidgetShortcut), &QShortcut::activated,
            this, &HistoryWindow::deleteCurrent);
    // Up and down in the search field walk the list, so the keyboard never has to leave it.
    m_search->installEventFilter(this);

    connect(&m_history, &History::changed, this, [this] {
        if (isVisible()) {
            refresh();
        }
    });
    connect(SettingsNotifier::instance(), &SettingsNotifier::changed, this, [this](const QString& key) {
        if (key == Settings::Key::uiLanguage) {
            retranslate();
        }
    });
    connect(ColorScheme::instance(), &ColorScheme::changed, this, &HistoryWindow::applyLook);
    retranslate();
    applyLook();
}

HistoryWindow::~HistoryWindow()
{
    m_searching.cancel();
}

bool HistoryWindow::eventFilter(QObject* watched, QEvent* event)
{
    if (watched == m_search && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if ((key == Qt::Key_Down || key == Qt::Key_Up) && m_list->count() > 0) {
            const int row = std::clamp(m_list->currentRow() + (key == Qt::Key_Down ? 1 : -1), 0, m_list->count() - 1);
            m_list->setCurrentRow(row);
            return true;
        }
    }
    return QWidget::eventFilter(watched, event);
}

void HistoryWindow::present()
{
    refresh();
    show();
    raise();
    activateWindow();
    m_search->setFocus(Qt::OtherFocusReason);
}

void HistoryWindow::setForcedDark(std::optional<bool> dark)
{
    m_forcedDark = dark;
    applyLook();
}

void HistoryWindow::applyLook()
{
    const Theme theme = Theme::forLook(m_forcedDark.value_or(ColorScheme::instance()->dark()));
    setPalette(theme.widgetPalette());
    for (QLabel* caption : {m_count, m_details}) {
        QPalette palette = caption->palette();
        palette.setColor(QPalette::WindowText, theme.secondary);
        caption->setPalette(palette);
    }
}

void HistoryWindow::retranslate()
{
    setWindowTitle(L::t(QStringLiteral("翻译记录")));
    m_search->setPlaceholderText(L::t(QStringLiteral("搜索原文或译文")));
    m_sourceLabel->setText(L::t(QStringLiteral("原文")));
    m_translationLabel->setText(L::t(QStringLiteral("译文")));
    m_copySource->setText(L::t(QStringLiteral("复制原文")));
    m_copyTranslation->setText(L::t(QStringLiteral("复制译文")));
    m_open->setText(L::t(QStringLiteral("在卡片中打开")));
    m_delete->setText(L::t(QStringLiteral("删除")));
    m_exportCsv->setText(L::t(QStringLiteral("导出 CSV…")));
    m_exportCards->setText(L::t(QStringLiteral("导出 Anki 文本…")));
    showEntries(m_entries);
}

void HistoryWindow::refresh()
{
    m_typing.stop();
    m_searching.cancel();
    QPointer<HistoryWindow> self(this);
    m_searching = m_history.search(m_search->text(), shownLimit, [self](Outcome<HistoryEntries> outcome) {
        if (!self || !outcome) {
            return;
        }
        self->m_searching = Cancellation();
        self->showEntries(std::move(outcome).value());
        Q_EMIT self->refreshed();
    });
}

void HistoryWindow::showEntries(HistoryEntries entries)
{
    const qint64 selected = current() ? current()->id : 0;
    m_entries = std::move(entries);
    const QSignalBlocker quiet(m_list);
    m_list->clear();
    int row = 0;
    // Two lines of the tallest script shown (the fallback fonts of Chinese, Japanese and Korean sit higher than
    // the Latin font the list measures with).
    const QFontMetrics metrics = m_list->fontMetrics();
    const int line = std::max(metrics.lineSpacing(), metrics.boundingRect(QStringLiteral("国가あÅg")).height());
    const QSize rowSize(0, 2 * line + 12);
    for (qsizetype i = 0; i < m_entries.size(); ++i) {
        const CompletedTranslation& t = m_entries[i].translation;
        auto* item = new QListWidgetItem(firstLine(t.source) + QLatin1Char('\n') + firstLine(t.translation));
        item->setSizeHint(rowSize);
        item->setToolTip(interfaceLocale().toString(t.time.toLocalTime(), QLocale::ShortFormat));
        m_list->addItem(item);
        if (m_entries[i].id == selected) {
            row = static_cast<int>(i);
        }
    }
    if (!m_entries.isEmpty()) {
        m_list->setCurrentRow(row);
    }
    m_count->setText(m_entries.isEmpty() && m_search->text().trimmed().isEmpty()
                         ? L::t(QStringLiteral("还没有翻译记录"))
                         : L::t(QStringLiteral("%1 条")).arg(m_entries.size()));
    showCurrent();
}

std::optional<HistoryEntry> HistoryWindow::current() const
{
    const int row = m_list->currentRow();
    if (row < 0 || row >= m_entries.size()) {
        return std::nullopt;
    }
    return m_entries[row];
}

void HistoryWindow::showCurrent()
{
    const std::optional<HistoryEntry> entry = current();
    m_source->setPlainText(entry ? entry->translation.source : QString());
    m_translation->setPlainText(entry ? entry->translation.translation : QString());
    // Wrapped between its parts or at spaces, never inside a Chinese word ("翻/译服务").
    m_details->setText(
        entry ? StockLook::keepWordsWhole(
                    interfaceLocale().toString(entry->translation.time.toLocalTime(), QLocale::LongFormat) +
                    QStringLiteral(" · ") + TargetLanguage::label(entry->translation.target) + QStringLiteral(" · ") +
                    Engines::label(entry->translation.engine))
              : QString());
    for (QWidget* needsEntry : std::initializer_list<QWidget*>{m_copySource, m_copyTranslation, m_open, m_delete}) {
        needsEntry->setEnabled(entry.has_value());
    }
    m_exportCsv->setEnabled(!m_entries.isEmpty());
    m_exportCards->setEnabled(!m_entries.isEmpty());
}

void HistoryWindow::openCurrent()
{
    if (const std::optional<HistoryEntry> entry = current(); entry && m_openInCard) {
        m_openInCard(*entry);
    }
}

void HistoryWindow::deleteCurrent()
{
    if (const std::optional<HistoryEntry> entry = current()) {
        m_history.remove(entry->id);
    }
}

void HistoryWindow::copy(const QString& text)
{
    if (!text.isEmpty()) {
        QGuiApplication::clipboard()->setText(text);
    }
}

void HistoryWindow::exportTo(const QString& path, Format format, Completion<void> done)
{
    m_history.search(m_search->text(), -1, [path, format, done = std::move(done)](Outcome<HistoryEntries> outcome) {
        if (!outcome) {
            done(outcome.error());
            return;
        }
        done(HistoryExport::write(path, format == Format::Csv ? HistoryExport::csv(outcome.value())
                                                              : HistoryExport::cards(outcome.value())));
    });
}

void HistoryWindow::chooseExport(Format format)
{
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    const QString suggested = folder + (format == Format::Csv ? QStringLiteral("/quilvant-history.csv")
                                                              : QStringLiteral("/quilvant-history.txt"));
    const QString filter = format == Format::Csv ? QStringLiteral("CSV (*.csv)")
                                                 : L::t(QStringLiteral("文本文件")) + QStringLiteral(" (*.txt)");
    const QString path = QFileDialog::getSaveFileName(this, L::t(QStringLiteral("导出翻译记录")), suggested, filter);
    if (path.isEmpty()) {
        return;
    }
    QPointer<HistoryWindow> self(this);
    exportTo(path, format, [self](Outcome<void> outcome) {
        if (self) {
            self->m_details->setText(outcome ? L::t(QStringLiteral("已导出"))
                                             : L::t(QStringLiteral("导出失败：%1")).arg(outcome.error().description()));
        }
    });
}

} // namespace quilvant
