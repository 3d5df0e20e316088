#pragma once

#include "DirectoryWatch.h"
#include "FileIdentity.h"
#include "SqliteHandle.h"

#include <QByteArray>
#include <QString>

// The database log: one row of KIVData (LogDate, LogText) per entry, in an SQLite file that
// must already exist with its table. One connection serves the whole run. Inserts share a
// transaction until commit: a run of entries costs the file system one write, not one each.
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

    // Inserts one row, in the transaction the first insert after a commit begins. Throws
    // Failure, also when the file at the path is no longer the one opened (deleted, moved or
    // replaced meanwhile), which is looked at when a transaction begins.
    void insert(const QString &timestamp, const QString &text);
    // Commits the rows inserted since the last commit, if any. Throws Failure as insert does;
    // those rows are then not in the file.
    void commit();
    // Drops the rows inserted since the last commit.
    void rollback();

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
    void rememberFileIdentity();
    void checkFileIdentity();

    QString m_path;
    QByteArray m_nativePath;
    DirectoryWatch m_directory;
    FileIdentity m_identity;
    // Whether the watch alone tells when the path may name another file.
    bool m_watched = false;
    SqliteHandle m_connection;
    bool m_inTransaction = false;
};
