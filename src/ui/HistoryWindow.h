#pragma once

#include "core/Async.h"
#include "history/HistoryEntry.h"

#include <QTimer>
#include <QWidget>
#include <functional>
#include <optional>

class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QPushButton;

namespace quilvant {

class History;

// The history window: the kept translations newest first, narrowed as the person types, each with both texts,
// to copy, to open in the card, to delete; the list shown (all, or the search result) exports as CSV or as
// flash-card text. Escape closes, Enter opens the chosen entry in the card, Ctrl+F goes to the search field.
class HistoryWindow final : public QWidget
{
    Q_OBJECT

public:
    // Entries shown at most; exports take every match.
    static constexpr int shownLimit = 1000;
    enum class Format
    {
        Csv,
        Cards,
    };

    HistoryWindow(History& history, std::function<void(const HistoryEntry&)> openInCard, QWidget* parent = nullptr);
    ~HistoryWindow() override;

    void present();
    // Forces the light (false) or dark (true) look; nullopt follows the desktop.
    void setForcedDark(std::optional<bool> dark);

    const HistoryEntries& shown() const { return m_entries; }
    QLineEdit* searchField() const { return m_search; }
    // Writes what the search finds (everything for an empty one) to `path`; ends with the file written or not.
    void exportTo(const QString& path, Format format, Completion<void> done);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

Q_SIGNALS:
    // A search's entries are shown.
    void refreshed();

private:
    void retranslate();
    void applyLook();
    void refresh();
    void showEntries(HistoryEntries entries);
    void showCurrent();
    std::optional<HistoryEntry> current() const;
    void openCurrent();
    void deleteCurrent();
    void chooseExport(Format format);
    void copy(const QString& text);

    History& m_history;
    std::function<void(const HistoryEntry&)> m_openInCard;
    std::optional<bool> m_forcedDark;
    QLineEdit* m_search;
    QListWidget* m_list;
    QLabel* m_count;
    QLabel* m_sourceLabel;
    QLabel* m_translationLabel;
    QLabel* m_details;
    QPlainTextEdit* m_source;
    QPlainTextEdit* m_translation;
    QPushButton* m_copySource;
    QPushButton* m_copyTranslation;
    QPushButton* m_open;
    QPushButton* m_delete;
    QPushButton* m_exportCsv;
    QPushButton* m_exportCards;
    QTimer m_typing;
    HistoryEntries m_entries;
    Cancellation m_searching;
};

} // namespace quilvant
