#pragma once

#include "platform/SelectionReader.h"
#include "ui/SornPalette.h"

#include <QWidget>
#include <functional>

class QCheckBox;
class QLabel;
class QPushButton;

namespace quilvant {

// The settings rows of the history and the selection: "Keep a history" with its Clear button, where the history
// stays, and what this desktop lets the selection shortcut read.
class HistorySettings final : public QWidget
{
    Q_OBJECT

public:
    explicit HistorySettings(QWidget* parent = nullptr);

    // What Clear does once the person has confirmed it.
    void setClear(std::function<void()> clear) { m_clear = std::move(clear); }
    void setSelectionAccess(SelectionReader::Access access);
    void setTheme(const Theme& theme);

private:
    void retranslate();

    std::function<void()> m_clear;
    SelectionReader::Access m_access = SelectionReader::Access::Primary;
    QLabel* m_keepLabel;
    QCheckBox* m_keep;
    QPushButton* m_clearButton;
    QLabel* m_where;
    QLabel* m_selection;
};

} // namespace quilvant
