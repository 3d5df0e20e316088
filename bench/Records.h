// Reading back what a receiver recorded: the numbers the sender put in each payload, lines
// of its text output, rows of Log.mdb through a plain SQLite connection of the bench's own.
#pragma once

#include <QString>

#include <sqlite3.h>

#include <functional>
#include <vector>

// Which of the numbers 1..count were seen, each once however often it comes, with the time
// it was sent.
class Numbers
{
public:
    explicit Numbers(long count)
        : m_sent(size_t(count) + 1, -1)
    {}
    // `text` starts with the ten-digit number and its sending time; warm-up entries (a letter
    // first) do not count. Returns the number when it is one of 1..count not seen before,
    // otherwise 0.
    long add(const char *text);
    long distinct() const { return m_distinct; }
    // How many of 1..upTo were not seen.
    long missingUpTo(long upTo) const;
    // When `number` was sent, or -1 if it was not seen.
    qint64 sentAt(long number) const;

private:
    std::vector<qint64> m_sent;
    long m_distinct = 0;
};

// Lines of a file that only grows, counted as they come.
class LineCounter
{
public:
    explicit LineCounter(QString path)
        : m_path(std::move(path))
    {}
    ~LineCounter();
    LineCounter(const LineCounter &) = delete;
    LineCounter &operator=(const LineCounter &) = delete;
    long count();

private:
    QString m_path;
    int m_fd = -1;
    long m_lines = 0;
};

class Database
{
public:
    explicit Database(const QString &path, int flags = SQLITE_OPEN_READONLY);
    ~Database();
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;
    bool exec(const QByteArray &sql);
    // Calls `row` with each row's ID and text of `sql`, which selects them, bound to `after`.
    void each(const char *sql, qint64 after, const std::function<void(qint64, const char *)> &row);

private:
    sqlite3 *m_handle = nullptr;
};

// Which of the numbers 1..count a text output holds, an entry a line; in the logger's
// mylog.txt each after "<time>: ".
Numbers textNumbers(const QString &path, long count, bool timed);
// Which of them the rows of the logger's Log.mdb hold.
Numbers rowNumbers(const QString &path, long count);
// An empty Log.mdb with the table the logger ships, as `make run` prepares it.
bool createDatabase(const QString &schema, const QString &path);

double percentile99(std::vector<double> values);
