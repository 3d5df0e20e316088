#pragma once

#include <QDateTime>
#include <QString>

// The source of "now" for every timestamp, so tests can fix the time.
class Clock
{
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const;
    // timestampText(now()).
    virtual QString timestampNow() const;
};

// The system clock for one thread's timestamps: entries come by the ten thousand per second, so
// it turns each second into text once.
class CachingClock : public Clock
{
public:
    QString timestampNow() const override;

private:
    mutable qint64 m_second = -1;
    mutable QString m_text;
};

// The timestamp text: local date and time in the United States forms, "12/7/2026 6:54:52 AM".
QString timestampText(const QDateTime &time);
