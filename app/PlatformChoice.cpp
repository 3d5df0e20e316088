#include "PlatformChoice.h"

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
