#pragma once

#include <QByteArray>

// The Qt platforms the logger tries, in order, given which displays the session names. A
// platform named explicitly (QT_QPA_PLATFORM, -platform) is left alone: `platforms` is empty.
struct PlatformChoice
{
    QByteArray platforms;
    // No display is named at all, so the logger runs headless from the start.
    bool noDisplay = false;
};

PlatformChoice choosePlatform(bool platformNamed, bool waylandDisplay, bool x11Display);

// Before the application object: puts the choice for this session in QT_QPA_PLATFORM, and says
// when no display is named.
void applyPlatformChoice(int argc, char *argv[]);

// After it: whether the logger runs on Qt's offscreen platform; says so when a display was
// named but out of reach.
bool runsHeadless();
