#include "DatabaseLog.h"

#include "Failure.h"
#include "Stderr.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace {

// A lock held this long is more than a reader's or a backup's moment: it is told.
constexpr qint64 LockNoticeMilliseconds = 5000;
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

bool isBusy(int result)
{
    return (result & 0xFF) == SQLITE_BUSY;
}

} // namespace

DatabaseLog::DatabaseLog(QString path)
    : m_path(std::move(path))
    , m_nativePath(QFile::encodeName(m_path))
{}

QByteArray DatabaseLog::insertStatement(const QString &timestamp, const QString &text)
{
    QByteArray entry = text.toUtf8();
    // One term however many NULs there are: splicing in char(0) nests one expression per NUL,
    // and a datagram of NULs passes SQLite's depth limit.
    if (entry.contains('\0'))
        entry = "cast(x'" + entry.toHex() + "' as text)";
    else
        entry = '\'' + entry.replace('\'', "''") + '\'';
    return "insert into KIVData (LogDate, LogText) values('" + timestamp.toUtf8() + "', " + entry +
           ");";
}

void DatabaseLog::throwSqliteError(const QString &what) const
{
    throw Failure(sqlite3_extended_errcode(m_connection.get()),
                  what.arg(m_path) + QLatin1String(": ") + sqliteCause(m_connection.get()));
}

bool DatabaseLog::run(const char *statement, const QString &what, QByteArrayList *row)
{
    sqlite3_stmt *compiled = nullptr;
    int result = sqlite3_prepare_v2(m_connection.get(), statement, -1, &compiled, nullptr);
    const SqliteStatement owner(compiled);
    while (result == SQLITE_OK || result == SQLITE_ROW) {
        result = sqlite3_step(compiled);
        for (int i = 0; result == SQLITE_ROW && row && i < sqlite3_column_count(compiled); ++i)
            row->append(reinterpret_cast<const char *>(sqlite3_column_text(compiled, i)));
        row = nullptr;
    }
    if (isBusy(result))
        return false;
    if (result != SQLITE_DONE)
        throwSqliteError(what);
    return true;
}

void DatabaseLog::open()
{
    // Read-write without SQLITE_OPEN_CREATE: a missing file is an error, never made empty.
    // The recorder alone uses the connection, so SQLite need not lock around each call.
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
                QStringLiteral("Cannot open the database %1: the file is missing; ").arg(m_path) +
                    createHint());
        }
        throwSqliteError(QStringLiteral("Cannot open the database %1"));
    }
    // A lock in the way: prepared once it is gone, and told once it has been held long.
    if (!prepare())
        m_locked.start();
}

bool DatabaseLog::prepare()
{
    const QString what = QStringLiteral("Cannot use the database %1");
    // Before anything is written, so that a file refused here stays as it was. The columns are
    // looked up rather than a statement on the table tried, so that only a table truly missing
    // is told as one: reading the file can fail for many other reasons.
    QByteArrayList columns;
    if (!run("select count(*), sum(name like 'LogDate'), sum(name like 'LogText') "
             "from pragma_table_info('KIVData');",
             what, &columns))
        return false;
    if (columns.value(0) == "0") {
        throw Failure(SQLITE_ERROR,
                      QStringLiteral("The database %1 has no table KIVData; ").arg(m_path) +
                          createHint());
    }
    if (columns.value(1) == "0" || columns.value(2) == "0") {
        throw Failure(
            SQLITE_ERROR,
            QStringLiteral("The table KIVData in the database %1 has no column %2; "
                           "the logger fills LogDate and LogText")
                .arg(m_path, QLatin1String(columns.value(1) == "0" ? "LogDate" : "LogText")));
    }

    // WAL lets readers work beside the logger without making an insert fail; where the file
    // system cannot do WAL, SQLite keeps the file's journal mode and the logger goes on. Reading
    // now makes the write-ahead log's files under the logger's own user: a reader of another
    // user's who came first would own them, and every insert would fail.
    QByteArrayList mode;
    if (!run("pragma journal_mode=WAL;", what, &mode) || !run("pragma synchronous=NORMAL;", what) ||
        !run("select count(*) from sqlite_master;", what))
        return false;
    const QByteArray sizeLimit =
        "pragma journal_size_limit=" + QByteArray::number(WalSizeLimitBytes) + ';';
    if (mode.value(0).compare("wal", Qt::CaseInsensitive) == 0 && !run(sizeLimit.constData(), what))
        return false;

    struct stat file
    {
    };
    if (::stat(m_nativePath.constData(), &file) != 0) {
        const int error = errno;
        throw Failure::fromErrno(error,
                                 QStringLiteral("Cannot open the database %1: ").arg(m_path));
    }
    m_device = file.st_dev;
    m_inode = file.st_ino;
    m_prepared = true;
    return true;
}

void DatabaseLog::checkFileIdentity()
{
    // SQLite keeps writing to the file it opened, so rows for a file deleted or replaced
    // meanwhile would vanish with it while every insert reported success.
    struct stat file
    {
    };
    QString cause;
    if (::stat(m_nativePath.constData(), &file) != 0) {
        const int error = errno;
        if (error != ENOENT) {
            throw Failure::fromErrno(
                error, QStringLiteral("Cannot insert into KIVData in %1: ").arg(m_path));
        }
        cause = QStringLiteral("the file was deleted or moved away while the logger ran");
    } else if (file.st_dev != m_device || file.st_ino != m_inode) {
        cause = QStringLiteral("the file was replaced by another while the logger ran; restart "
                               "the logger to use the new one");
    } else {
        return;
    }
    // Closing does not checkpoint a moved file: the latest rows would stay in the WAL under
    // the old name, missing from the moved file and replayed into whichever file takes the name.
    if (sqlite3_wal_checkpoint_v2(m_connection.get(), nullptr, SQLITE_CHECKPOINT_TRUNCATE, nullptr,
                                  nullptr) != SQLITE_OK) {
        cause += QStringLiteral("; the latest rows may remain in %1-wal").arg(m_path);
    }
    throw Failure(SQLITE_READONLY_DBMOVED,
                  QStringLiteral("Cannot insert into KIVData in %1: ").arg(m_path) + cause);
}

QString DatabaseLog::createHint() const
{
    return QStringLiteral("create it with: sqlite3 %1 %2")
        .arg(shellQuoted(m_path), shellQuoted(createTableStatement()));
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

void DatabaseLog::add(const QString &timestamp, const QString &text)
{
    m_waiting += insertStatement(timestamp, text);
    ++m_waitingRows;
}

bool DatabaseLog::insertWaiting()
{
    if (m_waitingRows == 0)
        return true;
    if ((!m_prepared && !prepare()) || !runWaiting()) {
        // Another program's lock is in the way: told once it has been held long.
        if (!m_locked.isValid())
            m_locked.start();
        if (!m_lockTold && m_locked.elapsed() >= LockNoticeMilliseconds) {
            m_lockTold = true;
            tellStderr(QStringLiteral("KIVLogging: another program holds a lock on %1; the rows "
                                      "wait until it lets go, the lines go on.\n")
                           .arg(m_path)
                           .toLocal8Bit());
        }
        return false;
    }
    m_insertedRows.fetch_add(std::exchange(m_waitingRows, 0), std::memory_order_relaxed);
    m_waiting.clear();
    if (m_lockTold) {
        tellStderr(QStringLiteral("KIVLogging: the lock on %1 is gone after %2 s; the rows that "
                                  "waited are in.\n")
                       .arg(m_path)
                       .arg(double(m_locked.elapsed()) / 1000, 0, 'f', 1)
                       .toLocal8Bit());
    }
    m_locked.invalidate();
    m_lockTold = false;
    return true;
}

bool DatabaseLog::runWaiting()
{
    checkFileIdentity();
    const QString what = QStringLiteral("Cannot insert into KIVData in %1");
    // Immediate: a lock in the way shows at once, before any row is tried.
    if (!run("begin immediate;", what))
        return false;

    int result = sqlite3_exec(m_connection.get(), m_waiting.constData(), nullptr, nullptr, nullptr);
    if (result == SQLITE_OK)
        result = sqlite3_exec(m_connection.get(), "commit;", nullptr, nullptr, nullptr);
    if (result == SQLITE_OK)
        return true;
    const int number = sqlite3_extended_errcode(m_connection.get());
    const QString cause = sqliteCause(m_connection.get());
    // Some failures roll the transaction back by themselves; the rows stay waiting.
    if (!sqlite3_get_autocommit(m_connection.get()))
        sqlite3_exec(m_connection.get(), "rollback;", nullptr, nullptr, nullptr);
    if (isBusy(result))
        return false;
    throw Failure(number, what.arg(m_path) + QLatin1String(": ") + cause);
}
