#include "DatabaseLog.h"

#include "Failure.h"
#include "WalCheckpointer.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>

namespace {

constexpr int BusyTimeoutMilliseconds = 5000;
// A log that grew while a reader held it is cut back to this size once it starts over.
constexpr int WalSizeLimitBytes = 64 * 1024 * 1024;

// SQLite's description of the last failure on `connection`; where the system refused a file
// operation, the system's reason too: "unable to open database file" alone does not tell a
// missing permission from too many open files.
QString sqliteCause(sqlite3 *connection)
{
    QString cause = QString::fromUtf8(sqlite3_errmsg(connection));
    const int primary = sqlite3_extended_errcode(connection) & 0xFF;
    const int error = sqlite3_system_errno(connection);
    if ((primary == SQLITE_CANTOPEN || primary == SQLITE_IOERR) && error != 0)
        cause += QStringLiteral(" (%1)").arg(QString::fromLocal8Bit(std::strerror(error)));
    return cause;
}

// `text` as one word for a POSIX shell.
QString shellQuoted(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QLatin1String("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

} // namespace

DatabaseLog::DatabaseLog(QString path)
    : m_path(std::move(path))
    , m_nativePath(QFile::encodeName(m_path))
    , m_directory(QFileInfo(m_path).absolutePath())
{}

DatabaseLog::~DatabaseLog() = default;

QByteArray DatabaseLog::insertStatement(const QString &timestamp, const QString &text)
{
    // Built in UTF-8 directly: this is a good part of an entry's own cost beside SQLite's.
    const QByteArray entry = text.toUtf8();
    QByteArray statement;
    statement.reserve(64 + timestamp.size() + 2 * entry.size());
    statement += "insert into KIVData (LogDate, LogText) values('";
    statement += timestamp.toUtf8();
    statement += "', ";
    if (entry.contains('\0')) {
        // One term however many NULs there are: splicing in char(0) nests one expression per
        // NUL, and a datagram of NULs passes SQLite's depth limit of 1000.
        statement += "cast(x'";
        statement += entry.toHex();
        statement += "' as text)";
    } else {
        statement += '\'';
        qsizetype from = 0;
        for (qsizetype quote; (quote = entry.indexOf('\'', from)) >= 0; from = quote + 1) {
            statement.append(entry.constData() + from, quote + 1 - from);
            statement += '\'';
        }
        statement.append(entry.constData() + from, entry.size() - from);
        statement += '\'';
    }
    statement += ");";
    return statement;
}

void DatabaseLog::throwSqliteError(const QString &what, sqlite3 *connection) const
{
    throwFailure(what, sqlite3_extended_errcode(connection), sqliteCause(connection));
}

void DatabaseLog::throwFailure(const QString &what, int number, const QString &cause) const
{
    QString description = what.arg(m_path) + QLatin1String(": ") + cause;
    // Only a lock held past the whole timeout ends here; "database is locked" alone would not
    // tell that the logger waited.
    if ((number & 0xFF) == SQLITE_BUSY) {
        description += QStringLiteral(" (another program held a lock on it for more than %1 "
                                      "seconds)")
                           .arg(BusyTimeoutMilliseconds / 1000);
    }
    throw Failure(number, description);
}

void DatabaseLog::execute(const char *statement, const QString &what)
{
    if (sqlite3_exec(m_connection.get(), statement, nullptr, nullptr, nullptr) != SQLITE_OK)
        throwSqliteError(what, m_connection.get());
}

void DatabaseLog::open()
{
    // Read-write without SQLITE_OPEN_CREATE: a missing file is an error, never made empty.
    // Only this thread uses the connection, so SQLite need not lock around each call.
    sqlite3 *connection = nullptr;
    const int opened = sqlite3_open_v2(m_nativePath.constData(), &connection,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    m_connection.reset(connection);
    if (!connection) {
        throw Failure(opened, QStringLiteral("Cannot open the database %1: %2")
                                  .arg(m_path, QString::fromUtf8(sqlite3_errstr(opened))));
    }
    if (opened != SQLITE_OK) {
        if (sqlite3_system_errno(connection) == ENOENT) {
            throw Failure(
                sqlite3_extended_errcode(connection),
                QStringLiteral("Cannot open the database %1: the file is missing; "
                               "create it with: sqlite3 %2 %3")
                    .arg(m_path, shellQuoted(m_path), shellQuoted(createTableStatement())));
        }
        throwSqliteError(QStringLiteral("Cannot open the database %1"), connection);
    }
    // A short write lock held by a reader or a backup is waited out, not fatal.
    sqlite3_busy_timeout(connection, BusyTimeoutMilliseconds);

    // Before anything is written: a file refused here stays as it was.
    requireTable();

    // WAL lets readers work beside the logger without making an insert fail; where the file
    // system cannot do WAL, SQLite keeps the file's journal mode and the logger goes on.
    bool wal = false;
    {
        sqlite3_stmt *compiled = nullptr;
        int result =
            sqlite3_prepare_v2(connection, "pragma journal_mode=WAL;", -1, &compiled, nullptr);
        const SqliteStatement journal(compiled);
        if (result == SQLITE_OK)
            result = sqlite3_step(compiled);
        if (result != SQLITE_ROW)
            throwSqliteError(QStringLiteral("Cannot use the database %1"), connection);
        wal =
            qstricmp(reinterpret_cast<const char *>(sqlite3_column_text(compiled, 0)), "wal") == 0;
    }
    execute("pragma synchronous=NORMAL;", QStringLiteral("Cannot use the database %1"));
    // Reading now makes the write-ahead log's files under the logger's own user: a reader of
    // another user's who came first would own them, and every insert would fail.
    execute("select count(*) from sqlite_master;", QStringLiteral("Cannot use the database %1"));
    rememberFileIdentity();
    if (wal) {
        const QByteArray sizeLimit =
            "pragma journal_size_limit=" + QByteArray::number(WalSizeLimitBytes) + ';';
        execute(sizeLimit.constData(), QStringLiteral("Cannot use the database %1"));
        startCheckpointing();
    }
}

void DatabaseLog::startCheckpointing()
{
    sqlite3 *connection = nullptr;
    const int opened = sqlite3_open_v2(m_nativePath.constData(), &connection,
                                       SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX, nullptr);
    SqliteHandle checkpointConnection(connection);
    if (opened != SQLITE_OK) {
        throwSqliteError(QStringLiteral("Cannot open the database %1 for checkpoints"),
                         connection);
    }
    sqlite3_busy_timeout(connection, BusyTimeoutMilliseconds);
    // A connection finds the log only once it has read the file.
    if (sqlite3_exec(connection, "select count(*) from sqlite_master;", nullptr, nullptr,
                     nullptr) != SQLITE_OK) {
        throwSqliteError(QStringLiteral("Cannot open the database %1 for checkpoints"),
                         connection);
    }
    m_checkpointer = std::make_unique<WalCheckpointer>(std::move(checkpointConnection));
    // In place of SQLite's automatic checkpoints, which run in the committing thread.
    sqlite3_wal_hook(m_connection.get(), &DatabaseLog::walCommitted, this);
}

int DatabaseLog::walCommitted(void *self, sqlite3 *connection, const char *, int frames)
{
    if (const auto &checkpointer = static_cast<DatabaseLog *>(self)->m_checkpointer)
        checkpointer->committed(connection, frames);
    return SQLITE_OK;
}

void DatabaseLog::checkCheckpoints()
{
    if (!m_checkpointer)
        return;
    if (const auto failure = m_checkpointer->takeFailure()) {
        throw Failure(failure->number(),
                      QStringLiteral("Cannot checkpoint the database %1: ").arg(m_path) +
                          failure->description());
    }
}

void DatabaseLog::requireTable()
{
    // The columns are looked up rather than a statement on the table tried, so that only a
    // table truly missing is told as one: reading the file can fail for many other reasons.
    sqlite3_stmt *compiled = nullptr;
    int result =
        sqlite3_prepare_v2(m_connection.get(), "select name from pragma_table_info('KIVData');", -1,
                           &compiled, nullptr);
    const SqliteStatement columns(compiled);
    bool logDate = false;
    bool logText = false;
    bool table = false;
    if (result == SQLITE_OK) {
        while ((result = sqlite3_step(compiled)) == SQLITE_ROW) {
            table = true;
            const auto *name = reinterpret_cast<const char *>(sqlite3_column_text(compiled, 0));
            logDate = logDate || qstricmp(name, "LogDate") == 0;
            logText = logText || qstricmp(name, "LogText") == 0;
        }
    }
    if (result != SQLITE_DONE)
        throwSqliteError(QStringLiteral("Cannot use the database %1"), m_connection.get());
    if (!table) {
        throw Failure(SQLITE_ERROR,
                      QStringLiteral("The database %1 has no table KIVData; "
                                     "create it with: sqlite3 %2 %3")
                          .arg(m_path, shellQuoted(m_path), shellQuoted(createTableStatement())));
    }
    if (!logDate || !logText) {
        throw Failure(SQLITE_ERROR,
                      QStringLiteral("The table KIVData in the database %1 has no column %2; "
                                     "the logger fills LogDate and LogText")
                          .arg(m_path, QLatin1String(logDate ? "LogText" : "LogDate")));
    }
}

void DatabaseLog::rememberFileIdentity()
{
    const auto identity = FileIdentity::ofPath(m_nativePath.constData());
    if (!identity) {
        const int error = errno;
        throw Failure::fromErrno(error,
                                 QStringLiteral("Cannot open the database %1: ").arg(m_path));
    }
    m_identity = *identity;
    m_watched = !FileIdentity::isSymbolicLink(m_nativePath.constData());
}

void DatabaseLog::checkFileIdentity()
{
    // SQLite keeps writing to the file it opened, so rows for a file deleted or replaced
    // meanwhile would vanish with it while every insert reported success.
    if (!m_directory.mayHaveChanged() && m_watched)
        return;
    const auto identity = FileIdentity::ofPath(m_nativePath.constData());
    QString cause;
    if (!identity) {
        const int error = errno;
        if (error != ENOENT) {
            throw Failure::fromErrno(
                error, QStringLiteral("Cannot insert into KIVData in %1: ").arg(m_path));
        }
        cause = QStringLiteral("the file was deleted or moved away while the logger ran");
    } else if (!identity->isSameFile(m_identity)) {
        cause = QStringLiteral("the file was replaced by another while the logger ran; restart "
                               "the logger to use the new one");
    } else {
        return;
    }

    // Closing does not checkpoint a moved file: the latest rows would stay in the WAL under
    // the old name, missing from the moved file and replayed into whichever file takes the name.
    // A checkpoint of the thread's would refuse this one.
    m_checkpointer.reset();
    if (sqlite3_wal_checkpoint_v2(m_connection.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                                  nullptr) != SQLITE_OK) {
        cause += QStringLiteral("; the latest rows may remain in %1-wal").arg(m_path);
    }
    throw Failure(SQLITE_READONLY_DBMOVED,
                  QStringLiteral("Cannot insert into KIVData in %1: ").arg(m_path) + cause);
}

void DatabaseLog::configureLibrary()
{
    // SQLite's memory statistics take a process-wide lock on every allocation: a tenth of an
    // insert's cost, for figures nobody reads.
    sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
}

QString DatabaseLog::createTableStatement()
{
    QFile file(QStringLiteral(":/KIVData.sql"));
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QString statement;
    for (const QByteArray &line : file.readAll().split('\n')) {
        if (!line.startsWith("--"))
            statement += QString::fromUtf8(line.trimmed());
    }
    return statement;
}

void DatabaseLog::insert(const QString &timestamp, const QString &text)
{
    if (!m_inTransaction) {
        checkFileIdentity();
        execute("begin;", QStringLiteral("Cannot insert into KIVData in %1"));
        m_inTransaction = true;
    }

    const QByteArray statement = insertStatement(timestamp, text);
    sqlite3_stmt *compiled = nullptr;
    int result = sqlite3_prepare_v2(m_connection.get(), statement.constData(),
                                    int(statement.size()) + 1, &compiled, nullptr);
    const SqliteStatement owner(compiled);
    if (result == SQLITE_OK)
        result = sqlite3_step(compiled);
    if (result != SQLITE_DONE)
        throwSqliteError(QStringLiteral("Cannot insert into KIVData in %1"), m_connection.get());
}

void DatabaseLog::commit()
{
    if (!std::exchange(m_inTransaction, false))
        return;
    sqlite3 *connection = m_connection.get();
    // Some failures (a full disk, say) roll the whole transaction back by themselves.
    if (sqlite3_get_autocommit(connection)) {
        throw Failure(SQLITE_ABORT, QStringLiteral("Cannot insert into KIVData in %1: the "
                                                   "transaction was rolled back")
                                        .arg(m_path));
    }
    if (sqlite3_exec(connection, "commit;", nullptr, nullptr, nullptr) == SQLITE_OK)
        return;
    const int number = sqlite3_extended_errcode(connection);
    const QString cause = sqliteCause(connection);
    // A commit that failed may leave the transaction open; the next entry starts afresh.
    if (!sqlite3_get_autocommit(connection))
        sqlite3_exec(connection, "rollback;", nullptr, nullptr, nullptr);
    throwFailure(QStringLiteral("Cannot insert into KIVData in %1"), number, cause);
}

void DatabaseLog::rollback()
{
    if (!std::exchange(m_inTransaction, false))
        return;
    // A transaction a failure rolled back already has nothing left to drop; a rollback that
    // fails leaves it open, and the next begin tells.
    if (!sqlite3_get_autocommit(m_connection.get()))
        sqlite3_exec(m_connection.get(), "rollback;", nullptr, nullptr, nullptr);
}
