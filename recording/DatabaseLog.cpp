#include "DatabaseLog.h"

#include "Failure.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

#include <atomic>
#include <cerrno>

namespace {

constexpr int BusyTimeoutMilliseconds = 5000;
constexpr int SqliteBusy = 5;
// SQLite's own code (SQLITE_READONLY_DBMOVED) for a database file moved or deleted while open.
constexpr int DatabaseMoved = 1032;
// A log that grew while a reader held it is cut back to this size once it starts over.
constexpr int WalSizeLimitBytes = 64 * 1024 * 1024;

struct StatementFinalize
{
    void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};

QString uniqueConnectionName()
{
    static std::atomic<int> counter{0};
    return QStringLiteral("KIVLogging-%1").arg(counter++);
}

} // namespace

DatabaseLog::DatabaseLog(QString path)
    : m_path(std::move(path))
    , m_nativePath(QFile::encodeName(m_path))
    , m_connectionName(uniqueConnectionName())
    , m_directory(QFileInfo(m_path).absolutePath())
{}

DatabaseLog::~DatabaseLog()
{
    if (!m_database.isValid())
        return;
    m_database.close();
    m_database = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

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

void DatabaseLog::throwError(const QString &what, const QSqlError &error) const
{
    throwFailure(what, error.nativeErrorCode().toInt(), error.databaseText());
}

void DatabaseLog::throwSqliteError(const QString &what) const
{
    throwFailure(what, sqlite3_extended_errcode(m_handle),
                 QString::fromUtf8(sqlite3_errmsg(m_handle)));
}

void DatabaseLog::throwFailure(const QString &what, int number, const QString &cause) const
{
    QString description = what.arg(m_path) + QLatin1String(": ") + cause;
    // Only a lock held past the whole timeout ends here; "database is locked" alone would not
    // tell that the logger waited.
    if ((number & 0xFF) == SqliteBusy) {
        description += QStringLiteral(" (another program held a lock on it for more than %1 "
                                      "seconds)")
                           .arg(BusyTimeoutMilliseconds / 1000);
    }
    throw Failure(number, description);
}

void DatabaseLog::execute(const QString &statement, const QString &what)
{
    QSqlQuery query(m_database);
    if (!query.exec(statement))
        throwError(what, query.lastError());
}

void DatabaseLog::open()
{
    m_database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_connectionName);
    if (!m_database.isValid())
        throw Failure(-1, QStringLiteral("Cannot open the database %1: Qt's SQLite driver "
                                         "(libqt6sql6-sqlite) is not installed")
                              .arg(m_path));

    // A URI with mode=rw opens read-write without ever creating the file; percent-encoding
    // keeps odd characters in the directory name from being read as URI syntax.
    m_database.setDatabaseName(QUrl::fromLocalFile(m_path).toString(QUrl::FullyEncoded) +
                               QLatin1String("?mode=rw"));
    // A short write lock held by a reader or a backup is waited out, not fatal.
    m_database.setConnectOptions(
        QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(BusyTimeoutMilliseconds));
    if (!m_database.open()) {
        const QString cause =
            QFileInfo::exists(m_path) ? QString() : QStringLiteral(" (the file is missing)");
        throwError(QStringLiteral("Cannot open the database %1") + cause, m_database.lastError());
    }

    // SQLite reads the file only now, so a file that is not a database fails here. WAL lets
    // readers work beside the logger without making an insert fail; where the file system
    // cannot do WAL, SQLite keeps the file's journal mode and the logger goes on.
    QSqlQuery journal(m_database);
    if (!journal.exec(QStringLiteral("pragma journal_mode=WAL;")))
        throwError(QStringLiteral("Cannot use the database %1"), journal.lastError());
    const bool wal = journal.next() && journal.value(0).toString() == QLatin1String("wal");
    journal.finish();
    execute(QStringLiteral("pragma synchronous=NORMAL;"),
            QStringLiteral("Cannot use the database %1"));

    QSqlQuery check(m_database);
    if (!check.exec(QStringLiteral("select LogDate, LogText from KIVData limit 0;"))) {
        throwError(QStringLiteral("The database %1 has no table KIVData with columns LogDate and "
                                  "LogText; create it with: sqlite3 '%1' '") +
                       createTableStatement() + QLatin1Char('\''),
                   check.lastError());
    }
    rememberFileIdentity();

    // Inserts go straight to SQLite: the same statement text, without Qt's result objects.
    const QVariant handle = m_database.driver()->handle();
    if (!handle.isValid() || qstrcmp(handle.typeName(), "sqlite3*") != 0)
        throw Failure(-1, QStringLiteral("Cannot use the database %1: Qt's SQLite driver gives "
                                         "no connection handle")
                              .arg(m_path));
    m_handle = *static_cast<sqlite3 *const *>(handle.constData());
    if (wal) {
        execute(QStringLiteral("pragma journal_size_limit=%1;").arg(WalSizeLimitBytes),
                QStringLiteral("Cannot use the database %1"));
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
    QSqlQuery checkpoint(m_database);
    if (!checkpoint.exec(QStringLiteral("pragma wal_checkpoint(TRUNCATE);")) ||
        !checkpoint.next() || checkpoint.value(0).toInt() != 0) {
        cause += QStringLiteral("; the latest rows may remain in %1-wal").arg(m_path);
    }
    throw Failure(DatabaseMoved,
                  QStringLiteral("Cannot insert into KIVData in %1: ").arg(m_path) + cause);
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

void DatabaseLog::executeSql(const char *statement, const QString &what)
{
    if (sqlite3_exec(m_handle, statement, nullptr, nullptr, nullptr) != SQLITE_OK)
        throwSqliteError(what);
}

void DatabaseLog::insert(const QString &timestamp, const QString &text)
{
    if (!m_inTransaction) {
        checkFileIdentity();
        executeSql("begin;", QStringLiteral("Cannot insert into KIVData in %1"));
        m_inTransaction = true;
    }

    const QByteArray statement = insertStatement(timestamp, text);
    sqlite3_stmt *compiled = nullptr;
    int result = sqlite3_prepare_v2(m_handle, statement.constData(), int(statement.size()) + 1,
                                    &compiled, nullptr);
    const std::unique_ptr<sqlite3_stmt, StatementFinalize> owner(compiled);
    if (result == SQLITE_OK)
        result = sqlite3_step(compiled);
    if (result != SQLITE_DONE)
        throwSqliteError(QStringLiteral("Cannot insert into KIVData in %1"));
}

void DatabaseLog::rollback()
{
    if (!std::exchange(m_inTransaction, false))
        return;
    // A transaction a failure already rolled back has nothing left to drop.
    if (!sqlite3_get_autocommit(m_handle))
        sqlite3_exec(m_handle, "rollback;", nullptr, nullptr, nullptr);
}

void DatabaseLog::commit()
{
    if (!m_inTransaction)
        return;
    m_inTransaction = false;
    // Some failures (a full disk, say) roll the whole transaction back by themselves.
    if (sqlite3_get_autocommit(m_handle)) {
        throw Failure(SQLITE_ABORT, QStringLiteral("Cannot insert into KIVData in %1: the "
                                                   "transaction was rolled back")
                                        .arg(m_path));
    }
    if (sqlite3_exec(m_handle, "commit;", nullptr, nullptr, nullptr) == SQLITE_OK)
        return;
    const int number = sqlite3_extended_errcode(m_handle);
    const QString cause = QString::fromUtf8(sqlite3_errmsg(m_handle));
    // A commit that failed may leave the transaction open; the next entry starts afresh.
    if (!sqlite3_get_autocommit(m_handle))
        sqlite3_exec(m_handle, "rollback;", nullptr, nullptr, nullptr);
    throwFailure(QStringLiteral("Cannot insert into KIVData in %1"), number, cause);
}
