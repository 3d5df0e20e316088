#include "EntryList.h"
#include "Failure.h"
#include "FailureReporter.h"
#include "FileDescriptor.h"
#include "ListBox.h"
#include "Pipeline.h"
#include "PlatformChoice.h"
#include "TestSupport.h"

#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QListWidget>
#include <QRegularExpression>
#include <QScreen>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace {

class RecordingReporter : public FailureReporter
{
public:
    void report(const Failure &failure) override
    {
        failures.append(failure.number());
        descriptions.append(failure.description());
    }
    QList<int> failures;
    QStringList descriptions;
};

QStringList itemTexts(const QListWidget *list)
{
    QStringList texts;
    for (int row = 0; row < list->count(); ++row)
        texts.append(list->item(row)->text());
    return texts;
}

} // namespace

class tst_Window : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void startsWithFortyRowsAndTheProgramCaption();
    void showsLatestFortyNewestSelected_data();
    void showsLatestFortyNewestSelected();
    void listUpdateShowsWhatOneByOneWould_data();
    void listUpdateShowsWhatOneByOneWould();
    void captionShowsTimeOfLatestEntry();
    void entriesWhileHiddenShowWithTheWindow();
    void listFollowsTheWindowSize_data();
    void listFollowsTheWindowSize();
    void reportsAFailedEntryOnce();
    void answersWhileTheRecorderIsBlocked();
    void characterKeyAddsOneDebugEntry_data();
    void characterKeyAddsOneDebugEntry();
    void autoRepeatAddsOneDebugEntryPerPress();
    void debugEntriesPushOutRealOnesNewestSelected();
    void debugKeyStillReachesTheList();
    void debugNumbersFollowTheStartUpClock();
    void choosesThePlatform_data();
    void choosesThePlatform();

private:
    frmMain *window() const { return &m_pipeline->window(); }
    QListWidget *list() const
    {
        return window()->findChild<QListWidget *>(QStringLiteral("lstData"));
    }
    QString newestText() const
    {
        return list()->count() ? list()->item(list()->count() - 1)->text() : QString();
    }
    bool newestSelected() const
    {
        const int last = list()->count() - 1;
        return list()->currentRow() == last &&
               list()->selectedItems() == QList<QListWidgetItem *>{list()->item(last)};
    }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<FixedClock> m_clock;
    RecordingReporter m_reporter;
    std::unique_ptr<Pipeline> m_pipeline;
};

void tst_Window::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_clock = std::make_unique<FixedClock>(QDateTime(QDate(2026, 12, 7), QTime(6, 54, 52)));
    m_reporter.failures.clear();
    m_reporter.descriptions.clear();
    QVERIFY(createLogDatabase(m_dir->filePath(QStringLiteral("Log.mdb"))));
    m_pipeline = std::make_unique<Pipeline>(m_dir->path(), 0, *m_clock, m_reporter);
    m_pipeline->start();
    window()->show();
    QVERIFY(QTest::qWaitForWindowExposed(window()));
}

void tst_Window::cleanup()
{
    m_pipeline.reset();
    m_dir.reset();
}

void tst_Window::startsWithFortyRowsAndTheProgramCaption()
{
    QCOMPARE(window()->windowTitle(), QStringLiteral("KIVLogging"));
    QCOMPARE(window()->size(), QSize(793, 534));
    QCOMPARE(list()->geometry(), QRect(2, 4, 787, 524));
    QCOMPARE(list()->viewport()->height(), 40 * 13);
    QVERIFY(window()->windowFlags() & Qt::WindowStaysOnTopHint);
}

void tst_Window::showsLatestFortyNewestSelected_data()
{
    QTest::addColumn<int>("entries");
    QTest::newRow("a flood shows its last 40") << 600;
}

void tst_Window::showsLatestFortyNewestSelected()
{
    QFETCH(int, entries);
    for (int i = 1; i <= entries; ++i)
        QVERIFY(sendDatagram(m_pipeline->localPort(), "entry " + QByteArray::number(i) + '\n'));
    QTRY_COMPARE(newestText(), QStringLiteral("entry %1").arg(entries));
    QStringList latest;
    for (int i = entries - 39; i <= entries; ++i)
        latest.append(QStringLiteral("entry %1").arg(i));
    QCOMPARE(itemTexts(list()), latest);
    QCOMPARE(list()->currentRow(), 39);
    QCOMPARE(list()->selectedItems(), QList<QListWidgetItem *>{list()->item(39)});
    QTRY_VERIFY(list()->viewport()->rect().contains(list()->visualItemRect(list()->item(39))));
}

void tst_Window::listUpdateShowsWhatOneByOneWould_data()
{
    QTest::addColumn<int>("before");
    QTest::addColumn<QList<int>>("shows");
    QTest::newRow("a few into an empty list") << 0 << QList<int>{3};
    QTest::newRow("filling up exactly") << 30 << QList<int>{10};
    QTest::newRow("some push out older ones, show by show") << 40 << QList<int>{1, 3, 1, 10, 39};
    QTest::newRow("all pushed out, some twice over") << 40 << QList<int>{100};
    QTest::newRow("nothing added changes nothing") << 25 << QList<int>{0};
}

// A show takes only what was added since the last one, and leaves what adding the entries one
// by one would: the latest items, the newest selected.
void tst_Window::listUpdateShowsWhatOneByOneWould()
{
    QFETCH(int, before);
    QFETCH(QList<int>, shows);
    ListBox box;
    EntryList entries;
    int next = 0;
    const auto addAndShow = [&](int count) {
        for (const int end = next + count; next < end; ++next)
            entries.add({QStringLiteral("entry %1").arg(next)});
        box.showEntries(entries.snapshot());
    };
    addAndShow(before);
    for (const int count : shows) {
        addAndShow(count);
        const EntryList::Snapshot shown = entries.snapshot();
        QCOMPARE(itemTexts(&box), shown.items);
        QCOMPARE(box.currentRow(), shown.selected);
        if (box.count() > 0)
            QCOMPARE(box.selectedItems(), QList<QListWidgetItem *>{box.item(box.count() - 1)});
    }
}

void tst_Window::captionShowsTimeOfLatestEntry()
{
    QVERIFY(sendDatagram(m_pipeline->localPort(), "one\n"));
    QTRY_COMPARE(window()->windowTitle(), QStringLiteral("KIVLogging - 12/7/2026 6:54:52 AM"));
    m_clock->set(QDateTime(QDate(2026, 12, 8), QTime(13, 0, 1)));
    QVERIFY(sendDatagram(m_pipeline->localPort(), "two\n"));
    QTRY_COMPARE(window()->windowTitle(), QStringLiteral("KIVLogging - 12/8/2026 1:00:01 PM"));
    QCOMPARE(readFile(m_dir->filePath(QStringLiteral("mylog.txt"))),
             QByteArray("12/7/2026 6:54:52 AM: one\r\n12/8/2026 1:00:01 PM: two\r\n"));
}

void tst_Window::entriesWhileHiddenShowWithTheWindow()
{
    QVERIFY(sendDatagram(m_pipeline->localPort(), "shown\n"));
    QTRY_COMPARE(newestText(), QStringLiteral("shown"));
    window()->hide();
    QVERIFY(sendDatagram(m_pipeline->localPort(), "while hidden\n"));
    const QString log = m_dir->filePath(QStringLiteral("mylog.txt"));
    QTRY_VERIFY(readFile(log).contains("while hidden"));
    QCoreApplication::processEvents();
    // A hidden window draws nothing, and takes the entries as it is shown again.
    QCOMPARE(newestText(), QStringLiteral("shown"));
    window()->show();
    QCOMPARE(newestText(), QStringLiteral("while hidden"));
    QVERIFY(newestSelected());
    // And the next entry asks for its show again.
    QVERIFY(sendDatagram(m_pipeline->localPort(), "after\n"));
    QTRY_COMPARE(newestText(), QStringLiteral("after"));
}

void tst_Window::listFollowsTheWindowSize_data()
{
    QTest::addColumn<QSize>("windowSize");
    QTest::addColumn<QSize>("listSize");
    QTest::newRow("larger, whole rows") << QSize(1000, 700) << QSize(994, 52 * 13 + 4);
    QTest::newRow("smaller, rounded down") << QSize(300, 200) << QSize(294, 14 * 13 + 4);
    QTest::newRow("too small keeps the size") << QSize(5, 8) << QSize(787, 524);
}

void tst_Window::listFollowsTheWindowSize()
{
    QFETCH(QSize, windowSize);
    QFETCH(QSize, listSize);
    window()->resize(windowSize);
    QTRY_COMPARE(window()->size(), windowSize);
    QCOMPARE(list()->size(), listSize);
    QCOMPARE(list()->pos(), QPoint(2, 4));
}

void tst_Window::reportsAFailedEntryOnce()
{
    QVERIFY(QDir().mkdir(m_dir->filePath(QStringLiteral("mylog.txt"))));
    QVERIFY(sendDatagram(m_pipeline->localPort(), "lost\n"));
    QTRY_COMPARE(m_reporter.failures, QList<int>{EISDIR});
    QVERIFY2(m_reporter.descriptions.first().endsWith(
                 QStringLiteral("; 1 received datagram left without a row (0 of them with a line "
                                "in %1)")
                     .arg(m_dir->filePath(QStringLiteral("mylog.txt")))),
             qPrintable(m_reporter.descriptions.first()));
    QTRY_COMPARE(list()->count(), 1);
    QCOMPARE(window()->windowTitle(), QStringLiteral("KIVLogging"));
    // Nothing more is taken from the network.
    QVERIFY(!udpPortBound(m_pipeline->localPort()));
}

void tst_Window::answersWhileTheRecorderIsBlocked()
{
    // A text log nobody reads from: opening it blocks the recorder.
    const QString log = m_dir->filePath(QStringLiteral("mylog.txt"));
    QCOMPARE(::mkfifo(QFile::encodeName(log).constData(), 0600), 0);
    QVERIFY(sendDatagram(m_pipeline->localPort(), "blocked\n"));
    QTRY_COMPARE(newestText(), QStringLiteral("blocked"));
    bool handled = false;
    QMetaObject::invokeMethod(
        window(), [&] { handled = true; }, Qt::QueuedConnection);
    QTRY_VERIFY_WITH_TIMEOUT(handled, 100);
    // Let the recorder go on, so that it can end.
    const FileDescriptor reader(::open(QFile::encodeName(log).constData(), O_RDONLY | O_CLOEXEC));
    QVERIFY(reader.isValid());
    QByteArray line(64, '\0');
    QVERIFY(::read(reader.get(), line.data(), size_t(line.size())) > 0);
    QVERIFY(line.contains(": blocked\r\n"));
}

namespace {

// At most seven significant digits, no trailing zeros; exponent form below 1E-04.
const QRegularExpression debugEntryForm(
    QStringLiteral("^Debug (0|0\\.0{0,3}[1-9](\\d{0,5}[1-9])?|[1-9](\\.\\d{0,5}[1-9])?E-\\d\\d)$"));

} // namespace

void tst_Window::characterKeyAddsOneDebugEntry_data()
{
    // Each key with the text the X11 platform gives its press.
    QTest::addColumn<Qt::Key>("key");
    QTest::addColumn<Qt::KeyboardModifiers>("modifiers");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("adds");
    const Qt::KeyboardModifiers none;
    QTest::newRow("letter") << Qt::Key_Z << none << "z" << true;
    QTest::newRow("capital letter")
        << Qt::Key_Z << Qt::KeyboardModifiers(Qt::ShiftModifier) << "Z" << true;
    QTest::newRow("digit") << Qt::Key_7 << none << "7" << true;
    QTest::newRow("space") << Qt::Key_Space << none << " " << true;
    QTest::newRow("Enter") << Qt::Key_Return << none << "\r" << true;
    QTest::newRow("Backspace") << Qt::Key_Backspace << none << "\b" << true;
    QTest::newRow("Escape") << Qt::Key_Escape << none << "\x1b" << true;
    QTest::newRow("Ctrl+letter") << Qt::Key_A << Qt::KeyboardModifiers(Qt::ControlModifier)
                                 << "\x01" << true;
    QTest::newRow("arrow adds nothing") << Qt::Key_Down << none << "" << false;
    QTest::newRow("function key adds nothing") << Qt::Key_F5 << none << "" << false;
    QTest::newRow("Shift alone adds nothing")
        << Qt::Key_Shift << Qt::KeyboardModifiers(Qt::ShiftModifier) << "" << false;
    QTest::newRow("Delete adds nothing") << Qt::Key_Delete << none << "\x7f" << false;
    QTest::newRow("Tab adds nothing") << Qt::Key_Tab << none << "\t" << false;
}

void tst_Window::characterKeyAddsOneDebugEntry()
{
    QFETCH(Qt::Key, key);
    QFETCH(Qt::KeyboardModifiers, modifiers);
    QFETCH(QString, text);
    QFETCH(bool, adds);
    QTest::sendKeyEvent(QTest::Click, list(), key, text, modifiers);
    if (adds) {
        QCOMPARE(list()->count(), 1);
        QVERIFY2(debugEntryForm.match(newestText()).hasMatch(), qPrintable(newestText()));
        QVERIFY(newestSelected());
    } else {
        QCOMPARE(list()->count(), 0);
    }
    QCOMPARE(window()->windowTitle(), QStringLiteral("KIVLogging"));
    QVERIFY(!QFile::exists(m_dir->filePath(QStringLiteral("mylog.txt"))));
}

void tst_Window::autoRepeatAddsOneDebugEntryPerPress()
{
    for (int press = 1; press <= 3; ++press) {
        QKeyEvent event(QEvent::KeyPress, Qt::Key_Z, Qt::NoModifier, QStringLiteral("z"), true);
        QCoreApplication::sendEvent(list(), &event);
        QCOMPARE(list()->count(), press);
    }
}

void tst_Window::debugEntriesPushOutRealOnesNewestSelected()
{
    QVERIFY(sendDatagram(m_pipeline->localPort(), "real\n"));
    // The caption is stamped once the entry is recorded, and shown by a later show.
    const QString caption = QStringLiteral("KIVLogging - 12/7/2026 6:54:52 AM");
    QTRY_COMPARE(window()->windowTitle(), caption);

    // 'z' starts no item, so the list's type-ahead search leaves the selection alone.
    QStringList added;
    for (int press = 0; press < 45; ++press) {
        QTest::keyClick(list(), Qt::Key_Z);
        added.append(newestText());
    }
    QCOMPARE(list()->count(), 40);
    QCOMPARE(itemTexts(list()), added.mid(5));
    for (const QString &text : added)
        QVERIFY2(debugEntryForm.match(text).hasMatch(), qPrintable(text));
    QVERIFY(newestSelected());
    QTRY_VERIFY(list()->viewport()->rect().contains(list()->visualItemRect(list()->item(39))));
    QCOMPARE(window()->windowTitle(), caption);
    QCOMPARE(readFile(m_dir->filePath(QStringLiteral("mylog.txt"))),
             QByteArray("12/7/2026 6:54:52 AM: real\r\n"));
    QCOMPARE(queryColumn(m_dir->filePath(QStringLiteral("Log.mdb")),
                         QStringLiteral("select LogText from KIVData")),
             QStringList{QStringLiteral("real")});
}

void tst_Window::debugKeyStillReachesTheList()
{
    QVERIFY(sendDatagram(m_pipeline->localPort(), "apple\n"));
    QVERIFY(sendDatagram(m_pipeline->localPort(), "banana\n"));
    QTRY_COMPARE(list()->count(), 2);

    QTest::keyClick(list(), Qt::Key_A);
    QCOMPARE(list()->count(), 3);
    QVERIFY(newestText().startsWith(QStringLiteral("Debug ")));
    // The debug entry was selected first; the list's own type-ahead then found "apple", and
    // the show the entry asked for leaves it there.
    QCoreApplication::processEvents();
    QCOMPARE(list()->currentRow(), 0);
}

void tst_Window::debugNumbersFollowTheStartUpClock()
{
    const auto debugEntriesOfARun = [this](const QDateTime &startUp) {
        const FixedClock clock(startUp);
        Pipeline pipeline(m_dir->path(), 0, clock, m_reporter);
        pipeline.start();
        auto *lstData = pipeline.window().findChild<QListWidget *>(QStringLiteral("lstData"));
        for (int press = 0; press < 5; ++press)
            QTest::keyClick(lstData, Qt::Key_Z);
        return itemTexts(lstData);
    };
    const QDateTime startUp(QDate(2026, 12, 7), QTime(6, 54, 52, 100));
    const QStringList first = debugEntriesOfARun(startUp);
    QCOMPARE(first.size(), 5);
    QCOMPARE(debugEntriesOfARun(startUp), first);
    QVERIFY(debugEntriesOfARun(startUp.addMSecs(1)) != first);
}

void tst_Window::choosesThePlatform_data()
{
    QTest::addColumn<bool>("named");
    QTest::addColumn<bool>("wayland");
    QTest::addColumn<bool>("x11");
    QTest::addColumn<QByteArray>("platforms");
    QTest::addColumn<bool>("noDisplay");
    QTest::newRow("X11 and Wayland: XWayland keeps the window on top")
        << false << true << true << QByteArray("xcb;wayland;offscreen") << false;
    QTest::newRow("Wayland only") << false << true << false << QByteArray("wayland;offscreen")
                                  << false;
    QTest::newRow("X11 only") << false << false << true << QByteArray("xcb;offscreen") << false;
    QTest::newRow("no display") << false << false << false << QByteArray("offscreen") << true;
    QTest::newRow("a platform named wins") << true << true << true << QByteArray() << false;
    QTest::newRow("a platform named, no display")
        << true << false << false << QByteArray() << false;
}

void tst_Window::choosesThePlatform()
{
    QFETCH(bool, named);
    QFETCH(bool, wayland);
    QFETCH(bool, x11);
    QFETCH(QByteArray, platforms);
    QFETCH(bool, noDisplay);
    const PlatformChoice choice = choosePlatform(named, wayland, x11);
    QCOMPARE(choice.platforms, platforms);
    QCOMPARE(choice.noDisplay, noDisplay);
}

QTEST_MAIN(tst_Window)
#include "tst_window.moc"
