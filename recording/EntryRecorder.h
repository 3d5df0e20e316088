#pragma once

#include <QString>

class Clock;
class EntryList;
class TextLog;

// Records each entry in the recent-entries list, then the text log, always in this order.
// A failed step throws Failure; the steps before it stay done.
class EntryRecorder
{
public:
    EntryRecorder(EntryList &list, const TextLog &textLog, const Clock &clock);

    void WriteFile(const QString &ToWrite);

private:
    EntryList &m_list;
    const TextLog &m_textLog;
    const Clock &m_clock;
};
