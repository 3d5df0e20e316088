#pragma once

#include <QRandomGenerator>
#include <QString>

// Made-up entries for exercising the list without a sender: "Debug " and a pseudo-random
// single r, 0 <= r < 1.
class DebugEntrySource
{
public:
    // Restarts the sequence; equal seeds give equal sequences.
    void seed(quint64 seed);
    // The next r, 0 <= r < 1.
    float nextNumber();
    // "Debug " followed by the next r as text.
    QString nextEntry();

private:
    QRandomGenerator m_generator;
};

// Maps 32 random bits onto a single r, 0 <= r < 1, in 2^24 even steps.
float singleFromBits(quint32 bits);

// `value` (0 <= value < 1) with at most seven significant digits and no trailing zeros: plain
// decimal down to 0.0001 ("0.5", "0.0001234568"), exponent form below ("1.234568E-05"), "0" for 0.
QString singleToText(float value);
