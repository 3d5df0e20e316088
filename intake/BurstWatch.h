#pragma once

#include <QtGlobal>

// Tells from what the reader takes whether a burst is on: datagrams coming in faster than
// the recording takes them, which the kernel's buffer holds for a few milliseconds only.
// A burst shows as many datagrams waiting at one call (the reader fell behind) or as many
// within a short window.
class BurstWatch
{
public:
    static constexpr int BehindBatch = 16;
    static constexpr qint64 WindowMilliseconds = 10;
    // 25,600 a second: faster than the recording's own pace.
    static constexpr int WindowDatagrams = 256;
    // A burst counts as on for this long after its last sign.
    static constexpr qint64 LingerMilliseconds = 250;

    // Notes `received` datagrams taken by one call at `now` (milliseconds, monotonic).
    void add(int received, qint64 now)
    {
        if (now - m_windowStart >= WindowMilliseconds) {
            m_windowStart = now;
            m_inWindow = 0;
        }
        m_inWindow += received;
        if (received >= BehindBatch || m_inWindow >= WindowDatagrams)
            m_until = now + LingerMilliseconds;
    }

    // Until when the burst counts as on; in the past when none is.
    qint64 until() const { return m_until; }

private:
    qint64 m_windowStart = 0;
    int m_inWindow = 0;
    qint64 m_until = 0;
};
