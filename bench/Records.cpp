#include "Records.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

long Numbers::add(const char *text)
{
    if (!text || text[0] < '0' || text[0] > '9')
        return 0;
    const long number = std::strtol(text, nullptr, 10);
    if (number >= 1 && number < long(m_seen.size()) && !m_seen[size_t(number)]) {
        m_seen[size_t(number)] = true;
        ++m_distinct;
    }
    return number;
}

long Numbers::missingUpTo(long upTo) const
{
    const long last = std::min(upTo, long(m_seen.size()) - 1);
    return std::max(0L, last) - long(std::count(m_seen.begin() + 1,
                                                m_seen.begin() + 1 + std::max(0L, last), true));
}

LineCounter::~LineCounter()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

long LineCounter::count()
{
    if (m_fd < 0)
        m_fd = ::open(QFile::encodeName(m_path).constData(), O_RDONLY | O_CLOEXEC);
    if (m_fd < 0)
        return 0;
    static char buffer[1 << 20];
    ssize_t got;
    while ((got = ::read(m_fd, buffer, sizeof buffer)) > 0)
        m_lines += long(std::count(buffer, buffer + got, '\n'));
    return m_lines;
}

Database::Database(const QString &path, int flags)
{
    sqlite3_open_v2(QFile::encodeName(path).constData(), &m_handle, flags, nullptr);
    sqlite3_busy_timeout(m_handle, 5000);
}

Database::~Database()
{
    sqlite3_close_v2(m_handle);
}

bool Database::exec(const QByteArray &sql)
{
    return sqlite3_exec(m_handle, sql.constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

void Database::each(const char *sql,
                    qint64 after,
                    const std::function<void(qint64, const char *)> &row)
{
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(m_handle, sql, -1, &statement, nullptr) == SQLITE_OK) {
        sqlite3_bind_int64(statement, 1, after);
        while (sqlite3_step(statement) == SQLITE_ROW)
            row(sqlite3_column_int64(statement, 0),
                reinterpret_cast<const char *>(sqlite3_column_text(statement, 1)));
    }
    sqlite3_finalize(statement);
}
