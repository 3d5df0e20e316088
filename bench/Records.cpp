#include "Records.h"

#include "Probes.h"

#include <QFile>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

long Numbers::add(const char *text)
{
    if (!text || text[0] < '0' || text[0] > '9')
        return 0;
    char *end = nullptr;
    const long number = std::strtol(text, &end, 10);
    if (number < 1 || number >= long(m_sent.size()) || m_sent[size_t(number)] >= 0)
        return 0;
    m_sent[size_t(number)] = *end == ' ' ? std::strtoll(end + 1, nullptr, 10) : 0;
    ++m_distinct;
    return number;
}

long Numbers::missingUpTo(long upTo) const
{
    const auto end = m_sent.begin() + 1 + std::clamp(upTo, 0L, long(m_sent.size()) - 1);
    return long(std::count(m_sent.begin() + 1, end, -1));
}

qint64 Numbers::sentAt(long number) const
{
    return number >= 1 && number < long(m_sent.size()) ? m_sent[size_t(number)] : -1;
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

Numbers textNumbers(const QString &path, long count, bool timed)
{
    Numbers numbers(count);
    QFile text(path);
    if (!text.open(QIODevice::ReadOnly))
        return numbers;
    while (!text.atEnd()) {
        const QByteArray line = text.readLine();
        const char *entry = line.constData();
        if (timed) {
            entry = std::strstr(entry, ": ");
            entry = entry ? entry + 2 : nullptr;
        }
        numbers.add(entry);
    }
    return numbers;
}

Numbers rowNumbers(const QString &path, long count)
{
    Numbers numbers(count);
    Database(path).each("select ID, LogText from KIVData where ID > ?1", 0,
                        [&](qint64, const char *text) { numbers.add(text); });
    return numbers;
}

bool createDatabase(const QString &schema, const QString &path)
{
    return Database(path, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE).exec(readAll(schema));
}

double percentile99(std::vector<double> values)
{
    if (values.empty())
        return qQNaN();
    std::sort(values.begin(), values.end());
    return values[size_t(double(values.size() - 1) * 0.99)];
}
