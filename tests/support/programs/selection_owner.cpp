// Owns the X primary selection the way a Qt program with rich text does, until its standard input closes:
// `selection_owner HTML [TEXT]` offers HTML as text/html, and TEXT as plain text when given. Prints "ready"
// once the selection is its own.
#include <QClipboard>
#include <QGuiApplication>
#include <QMimeData>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdio>
#include <unistd.h>

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "xcb");
    QGuiApplication application(argc, argv);
    const QStringList arguments = application.arguments();
    if (arguments.size() < 2) {
        std::fprintf(stderr, "usage: selection_owner HTML [TEXT]\n");
        return 2;
    }
    auto* data = new QMimeData;
    data->setHtml(arguments.at(1));
    if (arguments.size() > 2) {
        data->setText(arguments.at(2));
    }
    QClipboard* clipboard = QGuiApplication::clipboard();
    clipboard->setMimeData(data, QClipboard::Selection);

    QTimer owned;
    owned.setInterval(20);
    QObject::connect(&owned, &QTimer::timeout, [&owned, clipboard] {
        if (clipboard->ownsSelection()) {
            owned.stop();
            std::printf("ready\n");
            std::fflush(stdout);
        }
    });
    owned.start();
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&input] {
        char buffer[64];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) {
            input.setEnabled(false);
            QCoreApplication::quit();
        }
    });
    return application.exec();
}
