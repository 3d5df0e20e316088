#include "EntryList.h"

void EntryList::add(const QStringList &texts)
{
    {
        const std::lock_guard lock(m_mutex);
        for (const QString &text : texts) {
            addItem(text);
            setSelectedIndex(count() - 1);
            CleanupList();
        }
    }
    if (m_changed)
        m_changed();
}

void EntryList::setCaption(const QString &caption)
{
    {
        const std::lock_guard lock(m_mutex);
        m_caption = caption;
    }
    if (m_changed)
        m_changed();
}

EntryList::Snapshot EntryList::snapshot() const
{
    const std::lock_guard lock(m_mutex);
    return {m_items, m_selected, m_added, m_caption};
}

void EntryList::addItem(const QString &text)
{
    m_items.append(text);
    ++m_added;
}

void EntryList::removeFirst()
{
    m_items.removeFirst();
    // The selected item stays selected, one row up.
    if (m_selected >= 0)
        --m_selected;
}

void EntryList::CleanupList()
{
    // Every addition is followed by this call, so the count never passes the limit by more
    // than one.
    if (count() == MaxEntries + 1)
        removeFirst();
}
