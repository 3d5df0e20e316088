#include "TextLog.h"

#include "Cp1252.h"
#include "Failure.h"

#include <QFile>
#include <QFileInfo>

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
    , m_directory(QFileInfo(m_path).absolutePath())
    , m_writeback(m_path)
{}

void TextLog::throwError(const QString &what) const
{
    const int error = errno;
    throw Failure::fromErrno(error, what.arg(m_path));
}

void TextLog::close()
{
    if (m_file.close() != 0)
        throwError(QStringLiteral("Cannot write to %1: "));
}

void TextLog::openCurrentFile()
{
    // A look at the watch or the path costs a fraction of an open and close, and an entry's
    // line is a good part of its recording.
    if (m_file.isValid()) {
        if (!m_directory.mayHaveChanged() && m_watched)
            return;
        const auto current = FileIdentity::ofPath(m_nativePath.constData());
        if (current && *current == m_identity)
            return;
    }
    // The lines written to a file moved away must not be lost quietly.
    close();
    FileDescriptor file(
        ::open(m_nativePath.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
    if (!file.isValid())
        throwError(QStringLiteral("Cannot open %1 for appending: "));
    const auto opened = FileIdentity::ofDescriptor(file.get());
    if (!opened)
        throwError(QStringLiteral("Cannot open %1 for appending: "));
    m_file = std::move(file);
    m_identity = *opened;
    m_watched = !FileIdentity::isSymbolicLink(m_nativePath.constData());
}

void TextLog::append(const QString &timestamp, const QString &text)
{
    QByteArray line = encodeCp1252(timestamp);
    line += ": ";
    line += encodeCp1252(text);
    line += "\r\n";

    openCurrentFile();
    // One write call per line, so a reader or a crash never sees half of a short line.
    const char *data = line.constData();
    qsizetype left = line.size();
    while (left > 0) {
        const ssize_t written = ::write(m_file.get(), data, size_t(left));
        if (written < 0) {
            if (errno == EINTR)
                continue;
            const int error = errno;
            const QString note = takeBack(m_file.get(), line.size() - left);
            // The next line starts afresh with whatever the path names then.
            m_file.close();
            const Failure failure =
                Failure::fromErrno(error, QStringLiteral("Cannot write to %1: ").arg(m_path));
            throw Failure(error, failure.description() + note);
        }
        data += written;
        left -= written;
    }
    m_notWrittenBack += line.size();
    if (m_notWrittenBack >= WritebackBytes) {
        m_notWrittenBack = 0;
        // Without a descriptor to spare the system writes it back on its own, as always.
        FileDescriptor copy(::fcntl(m_file.get(), F_DUPFD_CLOEXEC, 0));
        if (copy.isValid())
            m_writeback.start(std::move(copy));
    }
    // Told after the line is written: the entry is then in the log at least, though its row
    // never comes.
    if (auto failure = m_writeback.takeFailure())
        throw *failure;
}
