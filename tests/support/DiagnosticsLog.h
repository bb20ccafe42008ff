#pragma once

#include "core/Diagnostics.h"

#include <QFile>
#include <QFileInfo>
#include <QString>

namespace quilvant::test {

// The diagnostics log's size now: where what comes next starts.
inline qint64 diagnosticsEnd()
{
    return QFileInfo(Diagnostics::logPath()).size();
}

// What the diagnostics log gained since `offset` (from diagnosticsEnd()).
inline QString diagnosticsSince(qint64 offset)
{
    QFile log(Diagnostics::logPath());
    if (!log.open(QIODevice::ReadOnly) || !log.seek(offset)) {
        return {};
    }
    return QString::fromUtf8(log.readAll());
}

} // namespace quilvant::test
