#pragma once

#include "TextEncoding.h"

#include <QByteArray>
#include <QString>

// The text log: one line per entry, "<timestamp>: <entry>" + CR LF, each entry in the encoding
// it was read in, so the line holds the bytes received. Opened for appending, written and
// closed by each append, so others may read, move or delete it at any time.
class TextLog
{
public:
    explicit TextLog(QString path);

    const QString &path() const { return m_path; }

    // The line of one entry, `text` encoded as it was read.
    static QByteArray line(const QString &timestamp, const QString &text, TextEncoding encoding);

    // Appends `lines` in one write, creating the file if missing. Throws Failure naming the
    // file and the cause; none of the lines is then in the file.
    void append(const QByteArray &lines);

private:
    QString m_path;
    QByteArray m_nativePath;
};
