#pragma once

#include <QString>

// The text log: one line per entry, "<timestamp>: <entry>" + CR LF, in Windows-1252.
// The file is opened and closed around every line, so others may read, move or delete it
// between entries; a missing file is created again.
class TextLog
{
public:
    explicit TextLog(QString path);

    const QString &path() const { return m_path; }

    // Appends one line in a single write. Throws Failure naming the file and the cause.
    void append(const QString &timestamp, const QString &text) const;

private:
    [[noreturn]] void throwError(const QString &what) const;

    QString m_path;
    QByteArray m_nativePath;
};
