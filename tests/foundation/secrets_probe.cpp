// Runs one keyring operation in a process of its own, so that a test can point it at a bus of its choosing:
//   secrets_probe save KEY   -> exit 0, or exit 1 with the failure message on standard error
//   secrets_probe read       -> the value on standard output, or "<state>: message" on standard error and exit 1
#include "core/Console.h"
#include "foundation/Secrets.h"

#include <QCoreApplication>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 3 && arguments.at(1) == QStringLiteral("save")) {
        const auto saved = quilvant::Secrets::save(arguments.at(2));
        if (!saved) {
            quilvant::Console::printFailure(QString(), saved.error().description());
            return 1;
        }
        return 0;
    }
    if (arguments.size() == 2 && arguments.at(1) == QStringLiteral("read")) {
        const quilvant::Secrets::Stored stored = quilvant::Secrets::read();
        if (stored.state != quilvant::Secrets::Stored::State::Found &&
            stored.state != quilvant::Secrets::Stored::State::Absent) {
            quilvant::Console::printFailure(QString(), stored.message());
            return 1;
        }
        quilvant::Console::writeAll(1, stored.value.toUtf8());
        return 0;
    }
    return 2;
}
