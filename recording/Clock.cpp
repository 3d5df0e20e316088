#include "Clock.h"

#include <QLocale>

QDateTime Clock::now() const
{
    return QDateTime::currentDateTime();
}

QString Clock::timestampNow() const
{
    return timestampText(now());
}

QString CachingClock::timestampNow() const
{
    // The system clock's seconds are cheap to read; turning them into local time and text is
    // not.
    const qint64 second = QDateTime::currentSecsSinceEpoch();
    if (second != m_second) {
        m_text = timestampText(QDateTime::fromSecsSinceEpoch(second));
        m_second = second;
    }
    return m_text;
}

QString timestampText(const QDateTime &time)
{
    return QLocale::c().toString(time, QStringLiteral("M/d/yyyy h:mm:ss AP"));
}
