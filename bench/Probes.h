// What the bench reads about a process or a port from /proc (and ss), from outside, and the
// clock it reads the time by.
#pragma once

#include <QByteArray>
#include <QString>

// CLOCK_MONOTONIC in nanoseconds, the clock the sender stamps each payload by.
qint64 monotonicNs();
double secondsSince(qint64 start);
// For measured intervals only (the time after a burst, an idle span); everything else waits
// for its condition.
void pause(double seconds);

QByteArray readAll(const QString &path);

struct PortSocket
{
    bool bound = false;
    qint64 drops = 0;
};

// The sockets bound to UDP `port`, and the datagrams the kernel dropped for them.
PortSocket portSocket(quint16 port);

// Whether loopback takes datagrams: a fresh network namespace starts with it down.
bool loopbackUp(quint16 port);

// Process CPU time (user and system, all threads, ended ones too) in nanoseconds, or -1 for a
// process that is gone.
qint64 cpuNanoseconds(qint64 pid);

double rssMiB(qint64 pid);

// Every time one of the process's threads was switched out: each one a wake-up to come.
qint64 contextSwitches(qint64 pid);

// The receive buffer the kernel granted the socket on `port`, as ss shows it.
qint64 receiveBuffer(quint16 port);

QByteArray loadAverage();
