#pragma once

#include <QDateTime>
#include <QMetaType>
#include <QString>

namespace quilvant {

// A translation that finished and was shown: what a history keeps of it. Never a key or token.
struct CompletedTranslation
{
    QDateTime at;        // when it finished, UTC
    QString source;      // the text as sent
    QString translation; // the final text as shown
    QString target;      // the target language's code ("zh-Hans")
    QString engine;      // the engine's setting value ("Sorn", "MiniMax", "Codex")
};

} // namespace quilvant

Q_DECLARE_METATYPE(quilvant::CompletedTranslation)
