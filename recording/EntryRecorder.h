#pragma once

#include "TextEncoding.h"

#include <QString>

class Clock;
class DatabaseLog;
class EntryList;
class TextLog;

// Records each entry in the recent-entries list, the text log and the database log, always
// in this order. The rows of a run of entries share one transaction, until commit. A failed
// step throws Failure; the steps before it stay done.
class EntryRecorder
{
public:
    EntryRecorder(EntryList &list, TextLog &textLog, DatabaseLog &database, const Clock &clock);

    // `encoding` tells how the entry was read, so its line holds the bytes received.
    void WriteFile(const QString &ToWrite, TextEncoding encoding = TextEncoding::Windows1252);
    // Commits the rows of the entries written since the last commit. Throws Failure; those
    // entries then count as not recorded.
    void commit();

    // Entries in all three places, their rows committed.
    quint64 recorded() const { return m_recorded; }

private:
    EntryList &m_list;
    TextLog &m_textLog;
    DatabaseLog &m_database;
    const Clock &m_clock;
    quint64 m_written = 0;
    quint64 m_recorded = 0;
};
