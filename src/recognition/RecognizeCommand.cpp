#include "recognition/RecognizeCommand.h"

#include "core/Console.h"
#include "recognition/Translation.h"

namespace quilvant {

Outcome<void> recognizeCommand(const QList<QByteArray>& files)
{
    if (files.isEmpty()) {
        return Error::system(QStringLiteral("no image given (usage: quilvant --recognize FILE...)"));
    }
    for (qsizetype i = 0; i < files.size(); ++i) {
        const Outcome<QString> text = Translation::recognizeNamedFile(files[i]);
        if (!text) {
            const QString name = Console::shownName(files[i]);
            if (files.size() == 1 || text.error().isCancelled() || text.error().description().contains(name)) {
                return text.error();
            }
            const QString described = name + QStringLiteral(": ") + text.error().description();
            return text.error().isAppFailure() ? Error::app(described) : Error::system(described);
        }
        if (i > 0) {
            Console::printLine(QString());
        }
        Console::printLine(text.value());
    }
    return {};
}

} // namespace quilvant
