#include "DebugEntrySource.h"

#include <cmath>
#include <random>

namespace {

constexpr int SingleSignificantDigits = 7;
constexpr int SingleMantissaBits = 24;

} // namespace

void DebugEntrySource::seed(quint64 seed)
{
    std::seed_seq sequence{quint32(seed), quint32(seed >> 32)};
    m_generator.seed(sequence);
}

float DebugEntrySource::nextNumber()
{
    return singleFromBits(m_generator.generate());
}

QString DebugEntrySource::nextEntry()
{
    return QStringLiteral("Debug ") + singleToText(nextNumber());
}

float singleFromBits(quint32 bits)
{
    // A single holds 24 significant bits, so every step is exact; a double in [0, 1) narrowed
    // to a single could round up to 1.
    return std::ldexp(float(bits >> (32 - SingleMantissaBits)), -SingleMantissaBits);
}

QString singleToText(float value)
{
    const QString text = QString::number(double(value), 'G', SingleSignificantDigits);
    // Seven digits round the largest single below 1 up to "1"; cut it instead, so the text
    // still reads below 1.
    if (value < 1.0f && text == u"1")
        return QStringLiteral("0.9999999");
    return text;
}
