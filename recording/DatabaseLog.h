#pragma once

#include "SqliteHandle.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QElapsedTimer>
#include <QString>

#include <atomic>

#include <sys/types.h>

// The database log: one row of KIVData (LogDate, LogText) per entry, in an SQLite file that
// must already exist with its table. One connection serves the whole run. Rows wait in order,
// as their statements, until they are inserted together in one transaction; while another
// program holds a lock on the file they go on waiting, and nothing else is held back.
class DatabaseLog
{
public:
    explicit DatabaseLog(QString path);

    const QString &path() const { return m_path; }

    // Opens the existing file read-write and checks it holds KIVData with both columns before
    // anything is written to it. Throws Failure (SQLite's extended result code) naming the
    // file and the cause, and for a missing file or table the command that creates it. A file
    // locked by another program is opened, and checked once the lock is gone.
    void open();

    // Adds one row to those waiting, with its own statement.
    void add(const QString &timestamp, const QString &text);
    // Inserts the rows waiting, in one transaction. False, and they go on waiting, while
    // another program holds a lock on the file. Throws Failure on any other failure, also
    // when the file at the path is no longer the one opened (deleted, moved or replaced).
    bool insertWaiting();

    quint64 waitingRows() const { return m_waitingRows; }
    qsizetype waitingBytes() const { return m_waiting.size(); }
    // From any thread.
    quint64 insertedRows() const { return m_insertedRows.load(std::memory_order_relaxed); }
    // Whether another program's lock held back the last try.
    bool isLocked() const { return m_locked.isValid(); }

    // The statement text for one row, in UTF-8: the entry's apostrophes doubled; an entry
    // holding a NUL, where SQLite would end the statement's text, goes as its UTF-8 bytes cast
    // to text.
    static QByteArray insertStatement(const QString &timestamp, const QString &text);

    // The statement that creates KIVData, as shipped in KIVData.sql.
    static QString createTableStatement();

private:
    // The steps of opening that read the file; false while it is locked.
    bool prepare();
    // Runs `statement`, its first row's columns into `row`; false when a lock is in the way,
    // Failure on any other failure.
    bool run(const char *statement, const QString &what, QByteArrayList *row = nullptr);
    // Checks the file and runs the waiting rows' statements in one transaction; false when a
    // lock is in the way.
    bool runWaiting();
    // "create it with: sqlite3 ...", for a file or table missing.
    QString createHint() const;
    void checkFileIdentity();
    [[noreturn]] void throwSqliteError(const QString &what) const;

    QString m_path;
    QByteArray m_nativePath;
    SqliteHandle m_connection;
    bool m_prepared = false;
    dev_t m_device = 0;
    ino_t m_inode = 0;
    QByteArray m_waiting;
    quint64 m_waitingRows = 0;
    std::atomic<quint64> m_insertedRows{0};
    QElapsedTimer m_locked;
    bool m_lockTold = false;
};
