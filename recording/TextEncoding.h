#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

// How an entry's bytes were read. Text read as UTF-8 cannot be told from Windows-1252 text
// afterwards ("é" is C3 A9 in one and E9 in the other), so the text log is told, and writes
// back the very bytes received.
enum class TextEncoding { Windows1252, Utf8 };

struct DecodedText
{
    QString text;
    TextEncoding encoding;
};

// Reads `bytes` as UTF-8 when they are well-formed UTF-8 holding a byte above 0x7F (no overlong
// forms, surrogates or code points above U+10FFFF, no cut sequence), else as Windows-1252.
DecodedText decodeText(QByteArrayView bytes);

// The entry text of a datagram: its bytes less the last, read as decodeText does.
DecodedText entryText(QByteArrayView datagram);

// The bytes `text` was read from, given how it was read.
QByteArray encodeText(QStringView text, TextEncoding encoding);

// Windows-1252 with its five unassigned bytes (0x81, 0x8D, 0x8F, 0x90, 0x9D) mapped to the C1
// controls of the same value, so every byte is one distinct character and encodes back to itself.
QString decodeCp1252(QByteArrayView bytes);

// The inverse of decodeCp1252; a character outside the set becomes '?'.
QByteArray encodeCp1252(QStringView text);
