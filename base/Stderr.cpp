#include "Stderr.h"

#include <unistd.h>

void tellStderr(const QByteArray &line)
{
    // A full or closed stderr has nowhere else to be told.
    (void)!::write(STDERR_FILENO, line.constData(), size_t(line.size()));
}

QString counted(quint64 count, const char *noun)
{
    return QStringLiteral("%1 %2%3")
        .arg(count)
        .arg(QLatin1String(noun))
        .arg(count == 1 ? QString() : QStringLiteral("s"));
}
