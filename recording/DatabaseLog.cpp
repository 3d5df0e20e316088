#include "DatabaseLog.h"

#include "Failure.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

#include <atomic>
#include <cerrno>
#include <sys/stat.h>

namespace {

constexpr int BusyTimeoutMilliseconds = 5000;
constexpr int SqliteBusy = 5;
// SQLite's own code (SQLITE_READONLY_DBMOVED) for a database file moved or deleted while open.
constexpr int DatabaseMoved = 1032;

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
{}

DatabaseLog::~DatabaseLog()
{
    if (!m_database.isValid())
        return;
    m_database.close();
    m_database = QSqlDatabase();
    QSqlDatabase::removeDatabase(m_connectionName);
}

QString DatabaseLog::insertStatement(const QString &timestamp, const QString &text)
{
    QString literal;
    if (text.contains(QChar(0))) {
        // One term however many NULs there are: splicing in char(0) nests one expression per
        // NUL, and a datagram of NULs passes SQLite's depth limit of 1000.
        literal = QLatin1String("cast(x'") + QString::fromLatin1(text.toUtf8().toHex()) +
                  QLatin1String("' as text)");
    } else {
        literal = QLatin1Char('\'') +
                  QString(text).replace(QLatin1Char('\''), QLatin1String("''")) + QLatin1Char('\'');
    }
    return QLatin1String("insert into KIVData (LogDate, LogText) values('") + timestamp +
           QLatin1String("', ") + literal + QLatin1String(");");
}

void DatabaseLog::throwError(const QString &what, const QSqlError &error) const
{
    const int number = error.nativeErrorCode().toInt();
    QString description = what.arg(m_path) + QLatin1String(": ") + error.databaseText();
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
                                         "(libqt6sql6-sqlite) is not installed").arg(m_path));

    // A URI with mode=rw opens read-write without ever creating the file; percent-encoding
    // keeps odd characters in the directory name from being read as URI syntax.
    m_database.setDatabaseName(QUrl::fromLocalFile(m_path).toString(QUrl::FullyEncoded)
                               + QLatin1String("?mode=rw"));
    // A short write lock held by a reader or a backup is waited out, not fatal.
    m_database.setConnectOptions(
        QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=%1").arg(BusyTimeoutMilliseconds));
    if (!m_database.open()) {
        const QString cause = QFileInfo::exists(m_path) ? QString()
                                                        : QStringLiteral(" (the file is missing)");
        throwError(QStringLiteral("Cannot open the database %1") + cause, m_database.lastError());
    }

    // SQLite reads the file only now, so a file that is not a database fails here. WAL lets
    // readers work beside the logger without making an insert fail; where the file system
    // cannot do WAL, SQLite keeps the file's journal mode and the logger goes on.
    execute(QStringLiteral("pragma journal_mode=WAL;"), QStringLiteral("Cannot use the database %1"));
    execute(QStringLiteral("pragma synchronous=NORMAL;"), QStringLiteral("Cannot use the database %1"));

    QSqlQuery check(m_database);
    if (!check.exec(QStringLiteral("select LogDate, LogText from KIVData limit 0;"))) {
        throwError(QStringLiteral("The database %1 has no table KIVData with columns LogDate and "
                                  "LogText; create it with: sqlite3 '%1' '")
                       + createTableStatement() + QLatin1Char('\''),
                   check.lastError());
    }
    rememberFileIdentity();
}

void DatabaseLog::rememberFileIdentity()
{
    struct stat status;
    if (::stat(m_nativePath.constData(), &status) != 0) {
        const int error = errno;
        throw Failure::fromErrno(error,
                                 QStringLiteral("Cannot open the database %1: ").arg(m_path));
    }
    m_device = status.st_dev;
    m_inode = status.st_ino;
}

void DatabaseLog::checkFileIdentity()
{
    // SQLite keeps writing to the file it opened, so rows for a file deleted or replaced
    // meanwhile would vanish with it while every insert reported success.
    struct stat status;
    QString cause;
    if (::stat(m_nativePath.constData(), &status) != 0) {
        const int error = errno;
        if (error != ENOENT) {
            throw Failure::fromErrno(
                error, QStringLiteral("Cannot insert into KIVData in %1: ").arg(m_path));
        }
        cause = QStringLiteral("the file was deleted or moved away while the logger ran");
    } else if (status.st_dev != m_device || status.st_ino != m_inode) {
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

void DatabaseLog::insert(const QString &timestamp, const QString &text)
{
    checkFileIdentity();
    execute(insertStatement(timestamp, text), QStringLiteral("Cannot insert into KIVData in %1"));
}
