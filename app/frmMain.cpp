#include "frmMain.h"

#include <QCloseEvent>
#include <QKeyEvent>

namespace {

// The list keeps its start-up margins to the client area: at (2, 4), 787 x 524 px in 793 x 534.
constexpr int StartWidth = 793;
constexpr int StartHeight = 534;
constexpr int ListLeft = 2;
constexpr int ListTop = 4;
constexpr int ListWidthMargin = 6;
constexpr int ListHeightMargin = 10;

// Printable characters count, and so do the control characters of Enter, Backspace, Escape and
// Ctrl+letter. Tab moves the focus and Delete edits, so neither types anything; arrows,
// function keys and modifiers alone bring no text at all.
bool typesCharacter(const QKeyEvent &event)
{
    const QString text = event.text();
    return !text.isEmpty() && text.front() != u'\t' && text.front() != u'\x7f';
}

} // namespace

frmMain::frmMain(EntryList &entries, QWidget *parent)
    : QWidget(parent)
    , m_entries(entries)
    , lstData(new ListBox(this))
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("KIVLogging"));
    lstData->setObjectName(QStringLiteral("lstData"));
    lstData->setFocus();
    lstData->installEventFilter(this);
    resize(StartWidth, StartHeight);
    layoutList();
    m_showTimer.setTimerType(Qt::PreciseTimer);
    m_showTimer.setInterval(1000 / ShowsPerSecond);
    connect(&m_showTimer, &QTimer::timeout, this, &frmMain::showIfChanged);
}

void frmMain::entriesChanged()
{
    // While shows run, the next one takes the change; after a quiet spell one event starts
    // them again, and the first one shows at once.
    m_changed = true;
    if (m_shown && !m_showing.exchange(true))
        QMetaObject::invokeMethod(this, &frmMain::startShows, Qt::QueuedConnection);
}

void frmMain::startShows()
{
    if (!m_shown) {
        m_showing = false;
        return;
    }
    showEntries();
    m_showTimer.start();
}

void frmMain::showIfChanged()
{
    if (m_changed) {
        showEntries();
        return;
    }
    m_showTimer.stop();
    m_showing = false;
    // A change that came just before saw the shows running and asked for none.
    if (m_changed && !m_showing.exchange(true))
        startShows();
}

void frmMain::showEntries()
{
    // Changes from now on are not in this copy.
    m_changed = false;
    const EntryList::Snapshot snapshot = m_entries.snapshot();
    lstData->showEntries(snapshot);
    if (!snapshot.caption.isNull())
        setWindowTitle(snapshot.caption);
}

bool frmMain::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == lstData && event->type() == QEvent::KeyPress &&
        typesCharacter(*static_cast<QKeyEvent *>(event))) {
        m_entries.add({m_debugEntries.nextEntry()});
        // Shown before the list handles the key, so its type-ahead search has the last word.
        showEntries();
    }
    // The list still handles the key itself, type-ahead search included.
    return QWidget::eventFilter(watched, event);
}

void frmMain::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    m_shown = true;
    showEntries();
}

void frmMain::hideEvent(QHideEvent *event)
{
    QWidget::hideEvent(event);
    m_shown = false;
    m_showTimer.stop();
    m_showing = false;
}

void frmMain::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    layoutList();
}

void frmMain::layoutList()
{
    // Whole rows only; a size with no room for the list (minimized, tiny) is skipped and the
    // list keeps its size.
    const int width = this->width() - ListWidthMargin;
    const int height = this->height() - ListHeightMargin;
    const int border = 2 * lstData->frameWidth();
    if (isMinimized() || width <= 0 || height < border)
        return;
    const int rows = (height - border) / ListBox::RowHeight;
    lstData->setGeometry(ListLeft, ListTop, width, rows * ListBox::RowHeight + border);
}

void frmMain::closeEvent(QCloseEvent *event)
{
    m_notice.close();
    event->accept();
    emit closed();
}
