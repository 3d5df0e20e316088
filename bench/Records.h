// Reading back what a receiver recorded: the numbers the sender put in each payload, lines
// of its text output, rows of Log.mdb through a plain SQLite connection of the bench's own.
#pragma once

#include <QString>

#include <sqlite3.h>

#include <functional>
#include <vector>

// Which of the numbers 1..count were seen, each once however often it comes.
class Numbers
{
public:
    explicit Numbers(long count)
        : m_seen(size_t(count) + 1)
    {}
    // `text` starts with the ten-digit number; warm-up entries (a letter first) do not count.
    // Returns the number, or 0.
    long add(const char *text);
    long distinct() const { return m_distinct; }
    // How many of 1..upTo were not seen.
    long missingUpTo(long upTo) const;

private:
    std::vector<bool> m_seen;
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
