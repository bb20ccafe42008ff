#pragma once

#include "session/CompletedTranslation.h"

#include <QList>
#include <QMetaType>

namespace quilvant {

// One kept translation with its row number in the history (newer entries have larger ids).
struct HistoryEntry
{
    qint64 id = 0;
    CompletedTranslation translation;
};

using HistoryEntries = QList<HistoryEntry>;

} // namespace quilvant
