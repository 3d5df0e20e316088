#include "DebugEntryKeys.h"

#include "ListBox.h"

#include <QKeyEvent>
#include <QWidget>

namespace {

// Printable characters count, and so do the control characters of Enter, Backspace, Escape and
// Ctrl+letter. Tab moves the focus and Delete edits, so neither types anything; arrows,
// function keys and modifiers alone bring no text at all.
bool typesCharacter(const QKeyEvent &event)
{
    const QString text = event.text();
    return !text.isEmpty() && text.front() != u'\t' && text.front() != u'\x7f';
}

} // namespace

DebugEntryKeys::DebugEntryKeys(QWidget *listWidget, ListBox &entries)
    : m_entries(entries)
{
    listWidget->installEventFilter(this);
}

bool DebugEntryKeys::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress && typesCharacter(*static_cast<QKeyEvent *>(event))) {
        addNewestEntry(m_entries, m_source.nextEntry());
        // Shown before the list handles the key, so its type-ahead search has the last word.
        m_entries.showChanges();
    }
    // The list still handles the key itself, type-ahead search included.
    return QObject::eventFilter(watched, event);
}
