#pragma once

#include <QString>
#include <QStringList>

#include <functional>
#include <mutex>

// The recent-entries list and the caption, one object shared by the recorder, which adds
// entries and stamps the caption, and the window, which adds debug entries and shows copies.
// One mutex guards it, never held across I/O, so the list never passes 41 items.
class EntryList
{
public:
    // The most entries the list shows; the oldest goes first.
    static constexpr int MaxEntries = 40;

    // What the window shows: the items oldest first, the selected one, how many were ever
    // added (so a copy tells which items are new), and the caption (null until stamped).
    struct Snapshot
    {
        QStringList items;
        int selected = -1;
        quint64 added = 0;
        QString caption;
    };

    // Each text in turn: added as the newest item, selected, and the list trimmed.
    void add(const QStringList &texts);
    void setCaption(const QString &caption);
    Snapshot snapshot() const;

    // Called after every change, on the thread that made it, without the lock held.
    void setChanged(std::function<void()> changed) { m_changed = std::move(changed); }

private:
    // The list box operations the rules rely on; the lock is held.
    void addItem(const QString &text);
    int count() const { return int(m_items.size()); }
    void setSelectedIndex(int index) { m_selected = index; }
    void removeFirst();
    // Removes the oldest item when an addition has brought the list to one past its limit.
    void CleanupList();

    mutable std::mutex m_mutex;
    QStringList m_items;
    int m_selected = -1;
    quint64 m_added = 0;
    QString m_caption;
    std::function<void()> m_changed;
};
