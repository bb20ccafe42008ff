#pragma once

#include "foundation/EngineKind.h"

#include <QDateTime>
#include <QMetaType>
#include <QString>

namespace quilvant {

// One translation that ran to its end and was shown: what was translated, into which language, by which engine.
struct CompletedTranslation
{
    QDateTime time; // when it finished, in UTC
    QString source;
    QString translation;
    QString target; // the target language's code, as the language setting stores it
    EngineKind engine = EngineKind::Hosted;
};

} // namespace quilvant

Q_DECLARE_METATYPE(quilvant::CompletedTranslation)
