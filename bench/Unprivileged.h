// Starting a receiver as an ordinary user (nobody/nogroup), as it would run on a desktop:
// no capabilities at all, or CAP_SYS_NICE alone as an ambient one, so that the program (and
// whatever it starts) may take real-time priority but nothing else.
#pragma once

#include <QProcess>
#include <QString>

#include <sys/types.h>

#include <csignal>

enum class Privilege {
    None,     // an ordinary user without capabilities
    SysNice,  // the same user with CAP_SYS_NICE (ambient)
};

// The user and group the receivers run as.
uid_t benchUser();
gid_t benchGroup();

// Makes `process` start as that user with `privilege`, at real-time priority (SCHED_FIFO 1)
// when `fifo`, and end with the bench (SIGKILL when it dies).
void runUnprivileged(QProcess &process, Privilege privilege, bool fifo = false);

// Makes `process`, run as the bench itself, end with the bench (`signal` when it dies), so an
// interrupted bench leaves nothing running.
void endWithBench(QProcess &process, int signal = SIGKILL);

// Makes `path` (a folder and what it holds, not deeper) that user's, for the receiver to write.
bool giveToBenchUser(const QString &path);

// "uid 65534, CapEff 0 CapPrm 0 CapInh 0 CapAmb 0 CapBnd 0", from /proc; empty once it ended.
QString credentials(qint64 pid);
