#pragma once

#include <QString>
#include <QStringList>

// The recent-entries list: the four list box operations the recording rules rely on.
class EntryList
{
public:
    virtual ~EntryList() = default;

    // Appends the text as the last item.
    virtual void addItem(const QString &text) = 0;
    virtual int count() const = 0;
    // Selects item `index` and scrolls it into view.
    virtual void setSelectedIndex(int index) = 0;
    // Removes item 0; a selected later item stays selected.
    virtual void removeFirst() = 0;
};

// The most entries the list shows; the oldest goes first.
inline constexpr int MaxListEntries = 40;

// Removes the oldest item when an addition has brought the list to one past its limit.
void CleanupList(EntryList &list);

// Adds `text` as the newest entry, selects it and trims the list: the one way anything
// reaches the list.
void addNewestEntry(EntryList &list, const QString &text);

// An EntryList kept in memory, for running without a list box.
class MemoryEntryList : public EntryList
{
public:
    void addItem(const QString &text) override { m_items.append(text); }
    int count() const override { return int(m_items.size()); }
    void setSelectedIndex(int index) override { m_selected = index; }
    void removeFirst() override;

    const QStringList &items() const { return m_items; }
    int selectedIndex() const { return m_selected; }

private:
    QStringList m_items;
    int m_selected = -1;
};
