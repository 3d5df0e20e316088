#include "Application.h"

#include "PlatformChoice.h"
#include "Stderr.h"

#include <QIcon>

Application::Application(int &argc, char *argv[])
    : QApplication(argc, argv)
    , m_headless(runsHeadless())
{
    // The program ends once what was received is recorded, not when the window closes.
    setQuitOnLastWindowClosed(false);
    // Qt has taken its own arguments out.
    if (argc > 1) {
        QByteArray ignored;
        for (int i = 1; i < argc; ++i)
            ignored += QByteArray(" ") + argv[i];
        tellStderr("KIVLogging: ignoring" + ignored +
                   ": the logger takes no arguments but Qt's own.\n");
    }
    // The menu entry and the window go together in task bars and window lists.
    setDesktopFileName(QStringLiteral("kivlogging"));
    const QIcon icon(QStringLiteral(":/kivlogging.svg"));
    if (icon.pixmap(64).isNull())
        tellStderr("KIVLogging: cannot draw the window icon (Qt's SVG plugins are missing).\n");
    setWindowIcon(icon);
}
