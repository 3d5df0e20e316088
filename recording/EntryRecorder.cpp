#include "EntryRecorder.h"

#include "Clock.h"
#include "DatabaseLog.h"
#include "EntryList.h"
#include "Failure.h"
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
    try {
        m_textLog.flush();
    } catch (const Failure &) {
        // Lines that are not in the text log get no rows either.
        m_database.rollback();
        throw;
    }
    m_database.commit();
    m_recorded += written;
    // Told once everything is in place.
    m_textLog.checkWriteback();
    m_database.checkCheckpoints();
}
