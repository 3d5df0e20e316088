#include "ApplicationDirectory.h"

#include "Failure.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

void ApplicationDirectory::requireWritable(const QString &path)
{
    // Asked up front because the first sign otherwise is a database that opens but cannot
    // take a row, or a text log that fails only with the first entry. Effective ids, as the
    // files are created with them; root passes everywhere but on a read-only file system.
    if (::faccessat(AT_FDCWD, QFile::encodeName(path).constData(), W_OK | X_OK, AT_EACCESS) == 0)
        return;
    const int error = errno;
    throw Failure(error,
                  QStringLiteral("The folder %1 is not writable for you (%2); the logger keeps "
                                 "mylog.txt and Log.mdb's working files (Log.mdb-wal, "
                                 "Log.mdb-shm) there. Install a copy for yourself with "
                                 "make install, or make %1 writable for you.")
                      .arg(path, QString::fromLocal8Bit(std::strerror(error))));
}
