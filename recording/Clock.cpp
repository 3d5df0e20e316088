#include "Clock.h"

#include <QLocale>

#include <typeinfo>

QDateTime Clock::now() const
{
    return QDateTime::currentDateTime();
}

QString Clock::timestampNow() const
{
    // A clock of another kind may tell any time: its now() decides.
    if (typeid(*this) != typeid(Clock))
        return timestampText(now());
    // The system clock's seconds are cheap to read; turning them into local time and text,
    // as now() does, is not.
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
