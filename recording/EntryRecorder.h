#pragma once

#include <QString>

class Clock;
class DatabaseLog;
class EntryList;
class TextLog;

// Records each entry in the recent-entries list, the text log and the database log, always
// in this order. A failed step throws Failure; the steps before it stay done.
class EntryRecorder
{
public:
    EntryRecorder(EntryList &list, TextLog &textLog, DatabaseLog &database, const Clock &clock);

    void WriteFile(const QString &ToWrite);

    EntryList &list() const { return m_list; }
    // Whether the database log asks for a pause before the next entry (see DatabaseLog).
    bool needsPause() const;

private:
    EntryList &m_list;
    TextLog &m_textLog;
    DatabaseLog &m_database;
    const Clock &m_clock;
};
