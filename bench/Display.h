// A private X server (Xvfb) with a window manager (openbox) on it, for the rows that show the
// window on a screen; both run as the bench and are stopped with their object, whatever happened.
#pragma once

#include <QProcess>
#include <QTemporaryDir>

class Display
{
public:
    Display();
    ~Display();
    Display(const Display &) = delete;
    Display &operator=(const Display &) = delete;

    // Whether both are up, the manager managing the screen.
    bool valid() const { return !m_name.isEmpty(); }
    // ":N", for DISPLAY.
    QString name() const { return m_name; }
    qint64 serverPid() const { return m_server.processId(); }
    qint64 managerPid() const { return m_manager.processId(); }

private:
    // The display's name, or empty.
    QString startServer();
    bool startManager(const QString &name);

    QTemporaryDir m_home;
    QProcess m_server;
    QProcess m_manager;
    QString m_name;
};
