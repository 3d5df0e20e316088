#pragma once

#include "FileDescriptor.h"

#include <QObject>

#include <memory>

class QSocketNotifier;

// The signals that would end the process. SIGINT, SIGTERM and SIGHUP become a Qt signal, so they
// end the program as closing the window does; a repeated SIGINT or SIGTERM is told again, a
// repeated SIGHUP is not.
class TerminationSignals : public QObject
{
    Q_OBJECT

public:
    // Call before any thread starts, so that no thread takes the signals the default way. A full
    // disk or a file size limit (SIGXFSZ) and a closed pipe (SIGPIPE) then fail the write rather
    // than kill the process.
    static void takeOver();

    // Needs the application object; falls back to the default action when it cannot listen.
    explicit TerminationSignals(QObject *parent = nullptr);
    ~TerminationSignals() override;

signals:
    void received();

private:
    void drain();

    FileDescriptor m_signalFd;
    std::unique_ptr<QSocketNotifier> m_notifier;
    int m_requests = 0;
};
