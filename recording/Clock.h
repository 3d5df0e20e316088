#pragma once

#include <QDateTime>
#include <QString>

// The source of "now" for every timestamp, so tests can fix the time. For one thread.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const;
    // timestampText(now()). Entries come by the ten thousand per second, so the system clock
    // formats each second once; a clock of another kind is asked its now() every time.
    QString timestampNow() const;

private:
    mutable qint64 m_second = -1;
    mutable QString m_text;
};

// The timestamp text: local date and time in the United States forms, "12/7/2026 6:54:52 AM".
QString timestampText(const QDateTime &time);
