#pragma once

#include "DirectoryWatch.h"
#include "FileDescriptor.h"
#include "FileIdentity.h"
#include "Writeback.h"

#include <QString>

// The text log: one line per entry, "<timestamp>: <entry>" + CR LF, in Windows-1252.
// Others may read, move, delete or replace it between entries: before each line a watch on
// its folder, or else the path itself, tells whether the path may name another file or the
// file other permissions; then it is opened anew, so a missing file is created again and a
// file made read-only fails the line. Every MiB appended is handed to the writeback, so the
// system never has a large piece of it to write back at once.
class TextLog
{
public:
    explicit TextLog(QString path);

    const QString &path() const { return m_path; }

    static constexpr qsizetype WritebackBytes = 1024 * 1024;

    // Appends one line in a single write. Throws Failure naming the file and the cause, also
    // when writing earlier lines back to disk failed; the line is written first then.
    void append(const QString &timestamp, const QString &text);
    // Closes the file; the next line opens it again. Throws Failure when closing reports an
    // error that writing did not.
    void close();

private:
    void openCurrentFile();
    [[noreturn]] void throwError(const QString &what) const;

    QString m_path;
    QByteArray m_nativePath;
    FileDescriptor m_file;
    DirectoryWatch m_directory;
    // Of the open file, as it was opened.
    FileIdentity m_identity;
    // Whether the watch alone tells when the path may name another file.
    bool m_watched = false;
    Writeback m_writeback;
    qsizetype m_notWrittenBack = 0;
};
