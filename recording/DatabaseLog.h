#pragma once

#include "DirectoryWatch.h"
#include "FileIdentity.h"
#include "SqliteHandle.h"

#include <QByteArray>
#include <QString>

#include <memory>

class WalCheckpointer;

// The database log: one row of KIVData (LogDate, LogText) per entry, in an SQLite file that
// must already exist with its table. One connection serves the whole run; in WAL mode a
// thread of its own copies the log back into the file, off the path of the inserts.
class DatabaseLog
{
public:
    explicit DatabaseLog(QString path);
    ~DatabaseLog();
    DatabaseLog(const DatabaseLog &) = delete;
    DatabaseLog &operator=(const DatabaseLog &) = delete;

    const QString &path() const { return m_path; }

    // Opens the existing file read-write and checks it holds KIVData with both columns before
    // anything is written to it. Throws Failure (SQLite's extended result code) naming the
    // file and the cause, and for a missing file or table the command that creates it.
    void open();

    // Inserts one row; each statement commits by itself. Throws Failure, also when the file
    // at the path is no longer the one opened (deleted, moved or replaced meanwhile) and when
    // a checkpoint failed.
    void insert(const QString &timestamp, const QString &text);

    // Whether the next insert should wait: inserts without pause keep SQLite from ever folding
    // its whole write-ahead log back, so now and then the writer lets a checkpoint finish
    // before it goes on, or the log would grow without end.
    bool needsPause();

    // The statement text for one row, in UTF-8: the entry's apostrophes doubled; an entry
    // holding a NUL, where SQLite would end the statement's text, goes as its UTF-8 bytes cast
    // to text.
    static QByteArray insertStatement(const QString &timestamp, const QString &text);

    // The statement that creates KIVData, as shipped in KIVData.sql.
    static QString createTableStatement();

private:
    [[noreturn]] void throwSqliteError(const QString &what, sqlite3 *connection) const;
    [[noreturn]] void throwFailure(const QString &what, int number, const QString &cause) const;
    void execute(const char *statement, const QString &what);
    void requireTable();
    void startCheckpointing();
    static int walCommitted(void *self, sqlite3 *, const char *, int frames);
    void rememberFileIdentity();
    void checkFileIdentity();

    QString m_path;
    QByteArray m_nativePath;
    DirectoryWatch m_directory;
    FileIdentity m_identity;
    // Whether the watch alone tells when the path may name another file.
    bool m_watched = false;
    SqliteHandle m_connection;
    // Declared after the connection, so it goes first: closing the last connection folds the
    // log back.
    std::unique_ptr<WalCheckpointer> m_checkpointer;
    int m_walFrames = 0;
    int m_checkpointAt = 0;
    int m_catchUpAt = 0;
    quint64 m_pauseFor = 0;
};
