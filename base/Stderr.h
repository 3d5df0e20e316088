#pragma once

#include <QByteArray>
#include <QString>

// Says `line` on stderr in one write, so that it does not interleave with other output. What is
// said so is no failure: the logger goes on.
void tellStderr(const QByteArray &line);

// "1 datagram", "2 datagrams": `count` of `noun`, the plural with an s.
QString counted(quint64 count, const char *noun);
