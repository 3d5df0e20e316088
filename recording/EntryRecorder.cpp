#include "EntryRecorder.h"

#include "Clock.h"
#include "DatabaseLog.h"
#include "EntryList.h"
#include "TextLog.h"

EntryRecorder::EntryRecorder(EntryList &list,
                             TextLog &textLog,
                             DatabaseLog &database,
                             const Clock &clock)
    : m_list(list)
    , m_textLog(textLog)
    , m_database(database)
    , m_clock(clock)
{}

void EntryRecorder::WriteFile(const QString &ToWrite, TextEncoding encoding)
{
    addNewestEntry(m_list, ToWrite);
    m_textLog.append(m_clock.timestampNow(), ToWrite, encoding);
    // A sample of its own: the row's time may be a second later than the line's.
    m_database.insert(m_clock.timestampNow(), ToWrite);
    ++m_written;
}

void EntryRecorder::commit()
{
    const quint64 written = std::exchange(m_written, 0);
    m_database.commit();
    m_recorded += written;
}
