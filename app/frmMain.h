#pragma once

#include "DebugEntrySource.h"
#include "EntryList.h"
#include "ListBox.h"
#include "frmNotice.h"

#include <QElapsedTimer>
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
    ~frmMain() override;

    // Starts the debug entries' numbers afresh from `seed`.
    void seedDebugEntries(quint64 seed) { m_debugEntries.seed(seed); }

signals:
    // The user closed the window.
    void closed();

protected:
    void showEvent(QShowEvent *event) override;
    void resizeEvent(QResizeEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    // Nobody reads a list that changes more often; more shows would only cost drawing.
    static constexpr int ShowIntervalMilliseconds = 100;

    // From any thread: the entries changed. Shown at once when nothing was shown for
    // ShowIntervalMilliseconds, else once that time has passed; a hidden window shows them
    // when it is shown.
    void entriesChanged();
    void showSoon();
    void showEntries();
    void layoutList();

    EntryList &m_entries;
    ListBox *lstData;
    DebugEntrySource m_debugEntries;
    // Set by a change not shown yet: further changes then ask for no show of their own.
    std::atomic<bool> m_showAsked{false};
    QTimer m_showTimer;
    QElapsedTimer m_sinceShow;
    frmNotice m_notice;
};
