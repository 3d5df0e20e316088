#include "Unprivileged.h"

#include <QDir>
#include <QFile>

#include <grp.h>
#include <linux/capability.h>
#include <pwd.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <csignal>

namespace {

constexpr uid_t Nobody = 65534;
constexpr gid_t NoGroup = 65534;

// Between fork and exec only system calls: no allocation, no locks.
void dropTo(Privilege privilege, bool fifo)
{
    const bool nice = privilege == Privilege::SysNice;
    // The capabilities kept through the change of user are only those allowed below.
    if (::prctl(PR_SET_KEEPCAPS, nice ? 1 : 0, 0, 0, 0) != 0)
        ::_exit(126);
    for (int cap = 0; cap < 64; ++cap) {
        if (!(nice && cap == CAP_SYS_NICE))
            ::prctl(PR_CAPBSET_DROP, cap, 0, 0, 0); // EINVAL past the kernel's last one
    }
    if (::setgroups(0, nullptr) != 0 || ::setresgid(NoGroup, NoGroup, NoGroup) != 0 ||
        ::setresuid(Nobody, Nobody, Nobody) != 0)
        ::_exit(126);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (nice)
        data[0].effective = data[0].permitted = data[0].inheritable = 1U << CAP_SYS_NICE;
    if (::syscall(SYS_capset, &header, data) != 0)
        ::_exit(126);
    if (nice && ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_RAISE, CAP_SYS_NICE, 0, 0) != 0)
        ::_exit(126);
    if (fifo) {
        const sched_param parameter{1};
        if (::sched_setscheduler(0, SCHED_FIFO, &parameter) != 0)
            ::_exit(126);
    }
    // Set only now: a change of user clears it. A bench already gone leaves no receiver.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() == 1)
        ::_exit(126);
}

} // namespace

uid_t benchUser()
{
    return Nobody;
}

gid_t benchGroup()
{
    return NoGroup;
}

void runUnprivileged(QProcess &process, Privilege privilege, bool fifo)
{
    process.setChildProcessModifier([privilege, fifo] { dropTo(privilege, fifo); });
}

void endWithBench(QProcess &process, int signal)
{
    process.setChildProcessModifier([signal] { ::prctl(PR_SET_PDEATHSIG, signal); });
}

bool giveToBenchUser(const QString &path)
{
    bool given = ::chown(QFile::encodeName(path).constData(), Nobody, NoGroup) == 0;
    const QDir folder(path);
    for (const QString &name : folder.entryList(QDir::Files | QDir::Hidden | QDir::System))
        given = ::chown(QFile::encodeName(folder.filePath(name)).constData(), Nobody, NoGroup) == 0 &&
                given;
    return given;
}

QString credentials(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return {};
    QStringList parts;
    for (const QByteArray &line : status.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.value(0) == "Uid:") {
            parts.prepend(QStringLiteral("uid %1").arg(QString::fromLatin1(fields.value(2))));
        } else if (fields.value(0).startsWith("Cap")) {
            const qulonglong mask = fields.value(1).toULongLong(nullptr, 16);
            parts.append(QStringLiteral("%1 %2")
                             .arg(QString::fromLatin1(fields.value(0).chopped(1)))
                             .arg(mask, 0, 16));
        }
    }
    return parts.join(QLatin1Char(' '));
}
