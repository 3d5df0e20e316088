#pragma once

#include "TextEncoding.h"

#include <QString>

class Clock;
class DatabaseLog;
class EntryList;
class TextLog;

// Records each entry in the recent-entries list, the text log and the database log, always
// in this order. The lines and rows of a run of entries are written together at commit: the
// lines in one write, the rows in one transaction. A failed step throws Failure; the steps
// before it stay done.
class EntryRecorder
{
public:
    EntryRecorder(EntryList &list, TextLog &textLog, DatabaseLog &database, const Clock &clock);

    // `encoding` tells how the entry was read, so its line holds the bytes received.
    void WriteFile(const QString &ToWrite, TextEncoding encoding = TextEncoding::Windows1252);
    // Writes the lines and commits the rows of the entries written since the last commit.
    // Throws Failure; those entries then count as not recorded, and have no row (no line
    // either, when the text log failed).
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
