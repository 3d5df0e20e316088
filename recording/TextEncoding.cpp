#include "TextEncoding.h"

#include "Cp1252.h"

#include <QStringDecoder>

namespace {

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
