#include "DatabaseLog.h"

#include "Failure.h"

#include <QFile>
#include <QFileInfo>
#include <QSqlError>
#include <QSqlQuery>
#include <QUrl>

#include <atomic>

namespace {

QString uniqueConnectionName()
{
    static std::atomic<int> counter{0};
    return QStringLiteral("KIVLogging-%1").arg(counter++);
}

} // namespace

DatabaseLog::DatabaseLog(QString path)
    : m_path(std::move(path))
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
    QString literal = text;
    literal.replace(QLatin1Char('\''), QLatin1String("''"));
    literal.replace(QChar(0), QLatin1String("' || char(0) || '"));
    return QLatin1String("insert into KIVData (LogDate, LogText) values('") + timestamp
           + QLatin1String("', '") + literal + QLatin1String("');");
}

void DatabaseLog::throwError(const QString &what, const QSqlError &error) const
{
    throw Failure(error.nativeErrorCode().toInt(),
                  what.arg(m_path) + QLatin1String(": ") + error.databaseText());
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
    m_database.setConnectOptions(QStringLiteral("QSQLITE_OPEN_URI;QSQLITE_BUSY_TIMEOUT=5000"));
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
    execute(insertStatement(timestamp, text), QStringLiteral("Cannot insert into KIVData in %1"));
}
