#pragma once

#include <QApplication>

// The application object, set up for the logger: closing the window starts the stop rather
// than ending the event loop, and the window is known to the desktop by its menu entry and icon.
class Application : public QApplication
{
public:
    // Says which arguments it ignores: the logger takes none but Qt's own.
    Application(int &argc, char *argv[]);

    bool headless() const { return m_headless; }

private:
    bool m_headless;
};
