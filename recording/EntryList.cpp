#include "EntryList.h"

void CleanupList(EntryList &list)
{
    // Every addition is followed by this call, so the count never passes the limit by more
    // than one.
    if (list.count() == MaxListEntries + 1)
        list.removeFirst();
}

void addNewestEntry(EntryList &list, const QString &text)
{
    list.addItem(text);
    list.setSelectedIndex(list.count() - 1);
    CleanupList(list);
}

void MemoryEntryList::removeFirst()
{
    m_items.removeFirst();
    if (m_selected >= 0)
        --m_selected;
}
