#include "frmMain.h"

#include "ApplicationDirectory.h"
#include "Clock.h"
#include "Failure.h"
#include "FailureReporter.h"
#include "modAlwaysOnTop.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QListWidget>

#include <cstdio>

namespace {

// The list keeps its start-up margins to the client area: at (2, 4), 787 x 524 px in 793 x 534.
constexpr int StartWidth = 793;
constexpr int StartHeight = 534;
constexpr int ListLeft = 2;
constexpr int ListTop = 4;
constexpr int ListWidthMargin = 6;
constexpr int ListHeightMargin = 10;

} // namespace

frmMain::frmMain(const QString &applicationDirectory,
                 quint16 port,
                 const Clock &clock,
                 FailureReporter &reporter,
                 QWidget *parent)
    : QWidget(parent)
    , m_applicationDirectory(applicationDirectory)
    , m_clock(clock)
    , m_reporter(reporter)
    , lstData(new QListWidget(this))
    , m_list(lstData, [this] { showSoon(); })
    , m_debugKeys(lstData, m_list)
    , Winsock1(port)
    , m_receiver(Winsock1, m_recorder, clock)
    , m_recorder(m_list, m_textLog, m_database, clock)
    , m_textLog(applicationDirectory + QStringLiteral("/mylog.txt"))
    , m_database(applicationDirectory + QStringLiteral("/Log.mdb"))
{
    setObjectName(QStringLiteral("frmMain"));
    setWindowTitle(QStringLiteral("KIVLogging"));
    lstData->setObjectName(QStringLiteral("lstData"));
    lstData->setFocus();
    resize(StartWidth, StartHeight);
    layoutList();

    m_showTimer.setSingleShot(true);
    connect(&m_showTimer, &QTimer::timeout, this, &frmMain::showChanges);
    connect(&m_receiver, &DatagramReceiver::captionChanged, this, [this](const QString &caption) {
        m_caption = caption;
        showSoon();
    });
    connect(&m_receiver, &DatagramReceiver::failed, this, &frmMain::fail);
    connect(&m_receiver, &DatagramReceiver::drained, this, &frmMain::finishStop);
}

frmMain::~frmMain() = default;

void frmMain::Form_Load()
{
    // Each run starts its own sequence of debug numbers.
    m_debugKeys.seed(quint64(m_clock.now().toMSecsSinceEpoch()));
    Winsock1.Bind();
    SetAlwaysOnTop(this, 1);
    ApplicationDirectory::requireWritable(m_applicationDirectory);
    m_database.open();
}

void frmMain::fail(const Failure &failure)
{
    m_receiver.stop();
    Winsock1.stopReceiving();
    const quint64 unrecorded = m_receiver.unrecorded();
    Failure told = failure;
    if (unrecorded > 0) {
        told = Failure(
            failure.number(),
            failure.description() +
                QStringLiteral("; %1 received datagrams were left unrecorded").arg(unrecorded));
    }
    m_reporter.report(told);
    Winsock1.tellFinalLosses(unrecorded);
    QCoreApplication::exit(1);
}

void frmMain::requestStop()
{
    if (!m_stopping) {
        close();
        return;
    }
    // Asked again while recording what was received: the user would rather not wait.
    m_receiver.stop();
    const quint64 unrecorded = m_receiver.unrecorded();
    std::fprintf(stderr, "KIVLogging: stopped before recording %llu received datagrams.\n",
                 static_cast<unsigned long long>(unrecorded));
    Winsock1.tellFinalLosses(unrecorded);
    QCoreApplication::exit(1);
}

void frmMain::finishStop()
{
    // The log stays open between lines; an error only its close tells is reported here.
    try {
        m_textLog.close();
    } catch (const Failure &failure) {
        fail(failure);
        return;
    }
    Winsock1.tellFinalLosses(m_receiver.unrecorded());
    QCoreApplication::exit(0);
}

void frmMain::showSoon()
{
    // A window nobody sees (headless, or closed) gets what changed when it is shown.
    if (m_showTimer.isActive() || !isVisible())
        return;
    constexpr qint64 interval = 1000 / ShowsPerSecond;
    const qint64 since = m_lastShown.isValid() ? m_lastShown.elapsed() : interval;
    m_showTimer.start(int(std::max<qint64>(0, interval - since)));
}

void frmMain::showChanges()
{
    m_list.showChanges();
    if (!m_caption.isNull())
        setWindowTitle(std::exchange(m_caption, QString()));
    m_lastShown.start();
}

void frmMain::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    showChanges();
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
    if (m_stopping)
        return;
    m_stopping = true;
    // Nothing more is taken from the network, and everything received is recorded first.
    m_receiver.drain();
}
