#include "TextEncoding.h"

#include <QStringDecoder>

#include <array>

namespace {

// 0x80..0x9F; the rest of the set equals Latin-1.
// clang-format off
constexpr std::array<char16_t, 32> HighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};
// clang-format on

char encodeOne(char16_t c)
{
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF))
        return char(c);
    for (std::size_t i = 0; i < HighControls.size(); ++i) {
        if (HighControls[i] == c)
            return char(0x80 + i);
    }
    return '?';
}

bool isAscii(QByteArrayView bytes)
{
    for (const char byte : bytes) {
        if (static_cast<unsigned char>(byte) > 0x7F)
            return false;
    }
    return true;
}

} // namespace

DecodedText decodeText(QByteArrayView bytes)
{
    if (!isAscii(bytes)) {
        // Stateless: a sequence cut short at the end is an error, not a start kept for later.
        QStringDecoder utf8(QStringConverter::Utf8, QStringConverter::Flag::Stateless |
                                                        QStringConverter::Flag::ConvertInitialBom);
        QString text = utf8(bytes);
        if (!utf8.hasError())
            return {std::move(text), TextEncoding::Utf8};
    }
    return {decodeCp1252(bytes), TextEncoding::Windows1252};
}

DecodedText entryText(QByteArrayView datagram)
{
    // An empty datagram has no last character to drop and gives an empty entry. The last byte
    // goes before the bytes are read, so the text log gets back all the others.
    return decodeText(datagram.chopped(datagram.isEmpty() ? 0 : 1));
}

QByteArray encodeText(QStringView text, TextEncoding encoding)
{
    return encoding == TextEncoding::Utf8 ? text.toUtf8() : encodeCp1252(text);
}

QString decodeCp1252(QByteArrayView bytes)
{
    QString text(bytes.size(), Qt::Uninitialized);
    char16_t *out = reinterpret_cast<char16_t *>(text.data());
    for (const char byte : bytes) {
        const auto b = static_cast<unsigned char>(byte);
        *out++ = (b >= 0x80 && b < 0xA0) ? HighControls[b - 0x80] : char16_t(b);
    }
    return text;
}

QByteArray encodeCp1252(QStringView text)
{
    QByteArray bytes(text.size(), Qt::Uninitialized);
    char *out = bytes.data();
    for (const QChar c : text)
        *out++ = encodeOne(c.unicode());
    return bytes;
}
