#include "PlatformChoice.h"

#include "Stderr.h"

#include <QGuiApplication>

#include <cstring>

PlatformChoice choosePlatform(bool platformNamed, bool waylandDisplay, bool x11Display)
{
    if (platformNamed)
        return {};
    if (!waylandDisplay && !x11Display)
        return {"offscreen", true};
    // Qt's Wayland platform cannot keep a window above the others, XWayland's X11 can; each
    // list ends in offscreen, so a display out of reach still leaves a logger that logs.
    if (x11Display)
        return {waylandDisplay ? "xcb;wayland;offscreen" : "xcb;offscreen", false};
    return {"wayland;offscreen", false};
}

void applyPlatformChoice(int argc, char *argv[])
{
    // Qt takes -platform (or --platform) before the environment.
    bool named = !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
    for (int i = 1; i < argc; ++i)
        named = named || std::strcmp(argv[i], "-platform") == 0 ||
                std::strcmp(argv[i], "--platform") == 0;
    const PlatformChoice choice =
        choosePlatform(named, !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY"),
                       !qEnvironmentVariableIsEmpty("DISPLAY"));
    if (!choice.platforms.isEmpty())
        qputenv("QT_QPA_PLATFORM", choice.platforms);
    if (choice.noDisplay)
        tellStderr("KIVLogging: no display found; running headless.\n");
}

bool runsHeadless()
{
    const bool headless = QGuiApplication::platformName() == QLatin1String("offscreen");
    // Offscreen is only the last of the platforms tried when a display is named.
    if (headless && qgetenv("QT_QPA_PLATFORM").contains(';'))
        tellStderr("KIVLogging: cannot reach the display; running headless.\n");
    return headless;
}
