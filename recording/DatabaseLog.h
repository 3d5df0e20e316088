#pragma once

#include "DirectoryWatch.h"
#include "FileIdentity.h"
#include "SqliteHandle.h"

#include <QByteArray>
#include <QString>

#include <memory>

class WalCheckpointer;

// The database log: one row of KIVData (LogDate, LogText) per entry, in an SQLite file that
// must already exist with its table. One connection serves the whole run. Inserts share a
// transaction until commit: a run of entries costs the file system one write, not one each.
// In WAL mode a thread of its own copies the log back into the file.
class DatabaseLog
{
public:
    explicit DatabaseLog(QString path);
    ~DatabaseLog();
    DatabaseLog(const DatabaseLog &) = delete;
    DatabaseLog &operator=(const DatabaseLog &) = delete;

    // Sets SQLite up for this process; before the first connection opens, or it has no
    // effect.
    static void configureLibrary();

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
    // Throws the Failure of a checkpoint since, if any; once. The rows committed stay.
    void checkCheckpoints();

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
    void startCheckpointing();
    static int walCommitted(void *self, sqlite3 *connection, const char *, int frames);

    QString m_path;
    QByteArray m_nativePath;
    DirectoryWatch m_directory;
    FileIdentity m_identity;
    // Whether the watch alone tells when the path may name another file.
    bool m_watched = false;
    SqliteHandle m_connection;
    // Closed before m_connection, so closing the last connection folds the log back.
    std::unique_ptr<WalCheckpointer> m_checkpointer;
    bool m_inTransaction = false;
};
