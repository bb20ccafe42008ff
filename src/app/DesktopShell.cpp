#include "app/DesktopShell.h"

#include "core/ChildGroups.h"
#include "core/Console.h"
#include "foundation/L.h"
#include "foundation/SornBrand.h"

#include <QApplication>
#include <QIcon>
#include <QMenu>
#include <QPixmap>
#include <QSystemTrayIcon>

namespace quilvant::app {

int runDesktop(int& argc, char** argv)
{
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quilvant"));
    QApplication::setQuitOnLastWindowClosed(false);
    ChildGroups::installSignalHandlers();

    QIcon icon;
    for (const qreal size : {16.0, 22.0, 24.0, 32.0, 48.0}) {
        icon.addPixmap(QPixmap::fromImage(SornBrand::mark(size, Qt::black, true)));
    }
    icon.setIsMask(true);
    QApplication::setWindowIcon(icon);

    QMenu menu;
    QObject::connect(menu.addAction(L::t(QStringLiteral("退出 Sorn"))), &QAction::triggered, &application,
                     &QApplication::quit);

    QSystemTrayIcon tray(icon);
    tray.setToolTip(L::t(QStringLiteral("Sorn · 框选翻译")));
    tray.setContextMenu(&menu);
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray.show();
    } else {
        Console::printLine(QStringLiteral("Quilvant: this desktop shows no tray icons; quit with Ctrl+C."));
    }
    return QApplication::exec();
}

} // namespace quilvant::app
