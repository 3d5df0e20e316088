#include "TextLog.h"

#include "Failure.h"
#include "FileDescriptor.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

// A file size limit or a full disk can let part of the lines through before the write fails;
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
{}

QByteArray TextLog::line(const QString &timestamp, const QString &text, TextEncoding encoding)
{
    return encodeCp1252(timestamp) + ": " + encodeText(text, encoding) + "\r\n";
}

void TextLog::append(const QByteArray &lines)
{
    const auto fail = [this](const QString &what, const QString &note = {}) {
        const int error = errno;
        const Failure failure = Failure::fromErrno(error, what.arg(m_path));
        throw Failure(error, failure.description() + note);
    };
    FileDescriptor file(
        ::open(m_nativePath.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (!file.isValid())
        fail(QStringLiteral("Cannot open %1 for appending: "));
    // One write call, so a reader or a crash sees whole lines, but for a kill in the middle
    // of a write across a page boundary.
    const char *data = lines.constData();
    qsizetype left = lines.size();
    while (left > 0) {
        const ssize_t written = ::write(file.get(), data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            const QString note = takeBack(file.get(), lines.size() - left);
            errno = error;
            fail(QStringLiteral("Cannot write to %1: "), note);
        }
        data += written;
        left -= written;
    }
    if (file.close() != 0)
        fail(QStringLiteral("Cannot write to %1: "));
}
