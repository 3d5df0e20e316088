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

QString timestampText(const QDateTime &time)
{
    return QLocale::c().toString(time, QStringLiteral("M/d/yyyy h:mm:ss AP"));
}
