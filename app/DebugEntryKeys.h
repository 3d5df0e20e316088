#pragma once

#include "DebugEntrySource.h"

#include <QObject>

class ListBox;
class QWidget;

// A test aid on the list widget: every key press that types a character adds a made-up entry
// to the list (never to the logs), then the key goes on to the list unchanged.
class DebugEntryKeys : public QObject
{
    Q_OBJECT

public:
    // Watches the keys of `listWidget`, which shows `entries`.
    DebugEntryKeys(QWidget *listWidget, ListBox &entries);

    // Starts the numbers afresh from `seed`.
    void seed(quint64 seed) { m_source.seed(seed); }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    ListBox &m_entries;
    DebugEntrySource m_source;
};
