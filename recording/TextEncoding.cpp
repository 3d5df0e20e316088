#include "TextEncoding.h"

#include "Cp1252.h"

#include <optional>

namespace {

bool isAscii(QByteArrayView bytes)
{
    for (const char byte : bytes) {
        if (static_cast<unsigned char>(byte) > 0x7F)
            return false;
    }
    return true;
}

// QString::fromUtf8 replaces what is ill-formed instead of telling, so the check is our own,
// after the table of well-formed byte sequences in the Unicode standard.
std::optional<QString> decodeWellFormedUtf8(QByteArrayView bytes)
{
    QString text;
    text.reserve(bytes.size());
    const qsizetype size = bytes.size();
    qsizetype i = 0;
    while (i < size) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            text.append(QChar(lead));
            ++i;
            continue;
        }
        int length = 0;
        char32_t codePoint = 0;
        // The range of the second byte; it rules out overlong forms, surrogates and code
        // points above U+10FFFF.
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (lead >= 0xC2 && lead <= 0xDF) {
            length = 2;
            codePoint = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            length = 3;
            codePoint = lead & 0x0F;
            if (lead == 0xE0)
                low = 0xA0;
            else if (lead == 0xED)
                high = 0x9F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            length = 4;
            codePoint = lead & 0x07;
            if (lead == 0xF0)
                low = 0x90;
            else if (lead == 0xF4)
                high = 0x8F;
        } else {
            return std::nullopt;
        }
        if (size - i < length)
            return std::nullopt;
        for (int k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(bytes[i + k]);
            if (next < low || next > high)
                return std::nullopt;
            low = 0x80;
            high = 0xBF;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        if (QChar::requiresSurrogates(codePoint)) {
            text.append(QChar(QChar::highSurrogate(codePoint)));
            text.append(QChar(QChar::lowSurrogate(codePoint)));
        } else {
            text.append(QChar(char16_t(codePoint)));
        }
        i += length;
    }
    return text;
}

} // namespace

DecodedText decodeText(QByteArrayView bytes)
{
    if (!isAscii(bytes)) {
        if (auto text = decodeWellFormedUtf8(bytes))
            return {std::move(*text), TextEncoding::Utf8};
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
