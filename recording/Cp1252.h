#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// Windows-1252 with its five unassigned bytes (0x81, 0x8D, 0x8F, 0x90, 0x9D) mapped to the C1
// controls of the same value, so every byte is one distinct character and encodes back to itself.
QString decodeCp1252(QByteArrayView bytes);

// The inverse of decodeCp1252; a character outside the set becomes '?'.
QByteArray encodeCp1252(QStringView text);
