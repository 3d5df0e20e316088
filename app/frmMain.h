#pragma once

#include "DebugEntrySource.h"
#include "EntryList.h"
#include "ListBox.h"
#include "frmNotice.h"

#include <QTimer>
#include <QWidget>

#include <atomic>

// The logger's window: shows the recent-entries list and the caption, keeps itself on top, and
// adds a debug entry for every character key typed in the list. It only shows: it never waits
// for a file, the database or the socket.
class frmMain : public QWidget
{
    Q_OBJECT

public:
    explicit frmMain(EntryList &entries, QWidget *parent = nullptr);

    // Starts the debug entries' numbers afresh from `seed`.
    void seedDebugEntries(quint64 seed) { m_debugEntries.seed(seed); }

    // From any thread: the entries changed. Shown soon: at once after a quiet spell, else at
    // most ShowsPerSecond times a second. A window not shown ignores it.
    void entriesChanged();

signals:
    // The user closed the window.
    void closed();

protected:
    void showEvent(QShowEvent *event) override;
    void hideEvent(QHideEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // As often as an eye follows a list; more would only cost drawing.
    static constexpr int ShowsPerSecond = 30;

    void startShows();
    void showIfChanged();
    void showEntries();
    void layoutList();

    EntryList &m_entries;
    ListBox *lstData;
    DebugEntrySource m_debugEntries;
    QTimer m_showTimer;
    std::atomic<bool> m_shown{false};
    std::atomic<bool> m_changed{false};
    // The shows' timer runs, or an event to start it is on its way.
    std::atomic<bool> m_showing{false};
    frmNotice m_notice;
};
