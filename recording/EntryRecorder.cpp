#include "EntryRecorder.h"

#include "Clock.h"
#include "EntryList.h"
#include "TextLog.h"

EntryRecorder::EntryRecorder(EntryList &list, const TextLog &textLog, const Clock &clock)
    : m_list(list)
    , m_textLog(textLog)
    , m_clock(clock)
{}

void EntryRecorder::WriteFile(const QString &ToWrite)
{
    addNewestEntry(m_list, ToWrite);
    m_textLog.append(timestampText(m_clock.now()), ToWrite);
}
