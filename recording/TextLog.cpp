#include "TextLog.h"

#include "Cp1252.h"
#include "Failure.h"
#include "FileDescriptor.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A file size limit or a full disk can let part of a line through before the write fails;
// cutting it off again keeps every line of the log whole. Returns what went wrong, if anything.
QString takeBack(int fd, qsizetype written)
{
    if (written == 0)
        return {};
    const off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end >= written && ::ftruncate(fd, end - written) == 0)
        return {};
    return QStringLiteral("; part of the line stays in the file (") +
           QString::fromLocal8Bit(std::strerror(errno)) + QLatin1Char(')');
}

} // namespace

TextLog::TextLog(QString path)
    : m_path(std::move(path))
    , m_nativePath(QFile::encodeName(m_path))
    , m_writeback(m_path)
{}

void TextLog::throwError(const QString &what) const
{
    const int error = errno;
    throw Failure::fromErrno(error, what.arg(m_path));
}

void TextLog::append(const QString &timestamp, const QString &text)
{
    if (auto failure = m_writeback.takeFailure())
        throw *failure;

    QByteArray line = encodeCp1252(timestamp);
    line += ": ";
    line += encodeCp1252(text);
    line += "\r\n";

    FileDescriptor file(
        ::open(m_nativePath.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (!file.isValid())
        throwError(QStringLiteral("Cannot open %1 for appending: "));

    // One write call per line, so a reader or a crash never sees half of a short line.
    const char *data = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(file.get(), data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            const QString note = takeBack(file.get(), line.size() - left);
            const Failure failure =
                Failure::fromErrno(error, QStringLiteral("Cannot write to %1: ").arg(m_path));
            throw Failure(error, failure.description() + note);
        }
        data += written;
        left -= written;
    }
    m_notWrittenBack += line.size();
    FileDescriptor copy;
    if (m_notWrittenBack >= WritebackBytes) {
        m_notWrittenBack = 0;
        // Without a descriptor to spare the system writes it back on its own, as always.
        copy = FileDescriptor(::fcntl(file.get(), F_DUPFD_CLOEXEC, 0));
    }
    // The line's own result first: a failed close is not hidden by the hand-over.
    if (file.close() != 0)
        throwError(QStringLiteral("Cannot write to %1: "));
    if (copy.isValid())
        m_writeback.start(std::move(copy));
}
