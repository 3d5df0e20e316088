#pragma once

#include "Writeback.h"

#include <QString>

// The text log: one line per entry, "<timestamp>: <entry>" + CR LF, in Windows-1252.
// The file is opened and closed around every line, so others may read, move or delete it
// between entries; a missing file is created again. Every MiB appended is handed to the
// writeback, so the system never has a large piece of it to write back at once.
class TextLog
{
public:
    explicit TextLog(QString path);

    const QString &path() const { return m_path; }

    static constexpr qsizetype WritebackBytes = 1024 * 1024;

    // Appends one line in a single write. Throws Failure naming the file and the cause, also
    // when writing earlier lines back to disk failed.
    void append(const QString &timestamp, const QString &text);

private:
    [[noreturn]] void throwError(const QString &what) const;

    QString m_path;
    QByteArray m_nativePath;
    Writeback m_writeback;
    qsizetype m_notWrittenBack = 0;
};
