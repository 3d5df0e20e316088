#include "Clock.h"
#include "DatabaseLog.h"
#include "DebugEntrySource.h"
#include "EntryList.h"
#include "Failure.h"
#include "Recorder.h"
#include "TestSupport.h"
#include "TextLog.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTest>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

void appendLine(TextLog &log, const QString &text)
{
    log.append(TextLog::line(QStringLiteral("T"), text, TextEncoding::Windows1252));
}

QList<DecodedText> entries(const QStringList &texts)
{
    QList<DecodedText> list;
    for (const QString &text : texts)
        list.append({text, TextEncoding::Windows1252});
    return list;
}

} // namespace

class tst_Recording : public QObject
{
    Q_OBJECT

private slots:
    void timestampText_data();
    void timestampText();
    void cachingClockTimestampIsNow();
    void cp1252MapsEachByteToItsOwnCharacter();
    void keepsLatestFortyEntries();
    void listNeverPassesFortyWhileTwoThreadsAdd();
    void textLogLine_data();
    void textLogLine();
    void textLogFollowsItsPath();
    void textLogKeepsNoHalfLineWhenAWriteFails();
    void writeFileRecordsInListTextLogAndDatabase();
    void lockedDatabaseHoldsBackOnlyRows();
    void singleToText_data();
    void singleToText();
    void singleFromBits_data();
    void singleFromBits();
};

void tst_Recording::timestampText_data()
{
    QTest::addColumn<QDateTime>("time");
    QTest::addColumn<QString>("text");
    QTest::newRow("morning, no leading zeros")
        << QDateTime(QDate(2026, 12, 7), QTime(6, 54, 52)) << "12/7/2026 6:54:52 AM";
    QTest::newRow("midnight is 12 AM")
        << QDateTime(QDate(2027, 1, 1), QTime(0, 0, 5)) << "1/1/2027 12:00:05 AM";
    QTest::newRow("noon is 12 PM")
        << QDateTime(QDate(2026, 3, 9), QTime(12, 30, 0)) << "3/9/2026 12:30:00 PM";
    QTest::newRow("evening") << QDateTime(QDate(2026, 10, 31), QTime(23, 59, 59))
                             << "10/31/2026 11:59:59 PM";
}

void tst_Recording::timestampText()
{
    QFETCH(QDateTime, time);
    QFETCH(QString, text);
    QCOMPARE(::timestampText(time), text);
}

void tst_Recording::cachingClockTimestampIsNow()
{
    const CachingClock clock;
    const auto matchesNow = [&clock] {
        const QString before = ::timestampText(QDateTime::currentDateTime());
        const QString text = clock.timestampNow();
        return text == before || text == ::timestampText(QDateTime::currentDateTime());
    };
    QVERIFY(matchesNow());
    // The text made for one second must not outlive it.
    const QString first = clock.timestampNow();
    QTRY_VERIFY(::timestampText(QDateTime::currentDateTime()) != first);
    QVERIFY(matchesNow());
}

void tst_Recording::cp1252MapsEachByteToItsOwnCharacter()
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    const QString text = decodeCp1252(all);
    QCOMPARE(text.size(), 256);
    QCOMPARE(QSet<QChar>(text.begin(), text.end()).size(), 256);
    QCOMPARE(encodeCp1252(text), all);
    // What the entry tests leave out: the last high byte, and a character Windows-1252 lacks.
    QCOMPARE(text[0x9F], QChar(0x0178));
    QCOMPARE(encodeCp1252(u"\u4E2D"), QByteArray("?"));
}

void tst_Recording::keepsLatestFortyEntries()
{
    EntryList list;
    for (int i = 1; i <= 41; ++i) {
        list.add({QString::number(i)});
        const EntryList::Snapshot shown = list.snapshot();
        QCOMPARE(shown.items.size(), qMin(i, 40));
        QCOMPARE(shown.selected, shown.items.size() - 1);
        QCOMPARE(shown.items.last(), QString::number(i));
    }
    QCOMPARE(list.snapshot().items.first(), QStringLiteral("2"));
    // Entries taken together are trimmed one by one, as if added alone.
    QStringList many;
    for (int i = 42; i <= 100; ++i)
        many.append(QString::number(i));
    list.add(many);
    const EntryList::Snapshot shown = list.snapshot();
    QCOMPARE(shown.items, many.mid(many.size() - 40));
    QCOMPARE(shown.selected, 39);
    QCOMPARE(shown.added, quint64(100));
    QVERIFY(shown.caption.isNull());
}

void tst_Recording::listNeverPassesFortyWhileTwoThreadsAdd()
{
    // The recorder and the debug key add at once; every copy the window takes stays whole.
    EntryList list;
    std::atomic<bool> done{false};
    std::thread recorder([&] {
        for (int i = 0; i < 20000; ++i)
            list.add({QStringLiteral("entry"), QStringLiteral("entry")});
        done = true;
    });
    int copies = 0;
    while (!done) {
        list.add({QStringLiteral("Debug")});
        const EntryList::Snapshot shown = list.snapshot();
        ++copies;
        if (shown.items.size() > 40 || shown.selected != shown.items.size() - 1) {
            done = true;
            recorder.join();
            QFAIL(qPrintable(QStringLiteral("%1 items, item %2 selected")
                                 .arg(shown.items.size())
                                 .arg(shown.selected)));
        }
    }
    recorder.join();
    QCOMPARE(list.snapshot().added, quint64(40000 + copies));
}

void tst_Recording::textLogLine_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QByteArray>("line");
    const QByteArray stamp = "12/7/2026 6:54:52 AM: ";
    QTest::newRow("plain text") << "hello" << stamp + "hello\r\n";
    QTest::newRow("empty entry") << "" << stamp + "\r\n";
    QTest::newRow("CR LF kept inside") << "a\r\nb" << stamp + "a\r\nb\r\n";
    QTest::newRow("every printable and high byte")
        << decodeCp1252(printableAndHighBytes()) << stamp + printableAndHighBytes() + "\r\n";
    QTest::newRow("NUL and controls")
        << QString::fromLatin1("a\0\x01\tb", 5) << stamp + QByteArray("a\0\x01\tb", 5) + "\r\n";
}

void tst_Recording::textLogLine()
{
    QFETCH(QString, entry);
    QFETCH(QByteArray, line);
    QTemporaryDir dir;
    TextLog log(dir.filePath(QStringLiteral("mylog.txt")));
    const QByteArray made =
        TextLog::line(QStringLiteral("12/7/2026 6:54:52 AM"), entry, TextEncoding::Windows1252);
    QCOMPARE(made, line);
    log.append(made);
    log.append(made + made);
    QCOMPARE(readFile(log.path()), line + line + line);
}

void tst_Recording::textLogFollowsItsPath()
{
    // Each append opens whatever the path names then.
    QTemporaryDir dir;
    TextLog log(dir.filePath(QStringLiteral("mylog.txt")));
    appendLine(log, QStringLiteral("first"));
    QVERIFY(QFile::remove(log.path()));
    appendLine(log, QStringLiteral("second"));
    QCOMPARE(readFile(log.path()), QByteArray("T: second\r\n"));

    // Rotated: the old file keeps its lines, a new one takes the next.
    const QString rotated = dir.filePath(QStringLiteral("mylog.1"));
    QVERIFY(QFile::rename(log.path(), rotated));
    appendLine(log, QStringLiteral("third"));
    QCOMPARE(readFile(rotated), QByteArray("T: second\r\n"));
    QCOMPARE(readFile(log.path()), QByteArray("T: third\r\n"));
}

void tst_Recording::textLogKeepsNoHalfLineWhenAWriteFails()
{
    QTemporaryDir dir;
    TextLog log(dir.filePath(QStringLiteral("mylog.txt")));
    appendLine(log, QStringLiteral("whole"));
    const QByteArray before = readFile(log.path());

    // Ten more bytes allowed: the next line gets part of the way in before the write fails.
    rlimit unlimited;
    QCOMPARE(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    rlimit limited = unlimited;
    limited.rlim_cur = rlim_t(before.size() + 10);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(setrlimit(RLIMIT_FSIZE, &limited), 0);
    {
        const auto restore = qScopeGuard([&] {
            setrlimit(RLIMIT_FSIZE, &unlimited);
            std::signal(SIGXFSZ, oldHandler);
        });
        try {
            appendLine(log, QStringLiteral("a line longer than ten bytes"));
            QFAIL("wrote past the file size limit");
        } catch (const Failure &failure) {
            QCOMPARE(failure.number(), EFBIG);
            QVERIFY2(failure.description().contains(log.path()), qPrintable(failure.description()));
            QVERIFY2(failure.description().endsWith(QStringLiteral("File too large")),
                     qPrintable(failure.description()));
        }
    }
    QCOMPARE(readFile(log.path()), before);
}

void tst_Recording::writeFileRecordsInListTextLogAndDatabase()
{
    RecordingFixture fixture;
    QVERIFY(fixture.ready);
    const QString rows = QStringLiteral("select LogDate || '|' || LogText from KIVData");

    fixture.recorder.WriteFile(entries({QStringLiteral("one"), QStringLiteral("it's")}));
    QCOMPARE(readFile(fixture.textLogPath),
             QByteArray("12/7/2026 6:05:01 PM: one\r\n12/7/2026 6:05:01 PM: it's\r\n"));
    QCOMPARE(queryColumn(fixture.databasePath, rows),
             QStringList({"12/7/2026 6:05:01 PM|one", "12/7/2026 6:05:01 PM|it's"}));
    QCOMPARE(fixture.recorder.lines(), quint64(2));
    QCOMPARE(fixture.recorder.rows(), quint64(2));

    // A failed step leaves the earlier ones done and the later ones undone.
    QVERIFY(QFile::remove(fixture.textLogPath));
    QVERIFY(QDir().mkdir(fixture.textLogPath));
    QVERIFY_THROWS_EXCEPTION(Failure, fixture.recorder.WriteFile(entries({"two"})));
    QCOMPARE(fixture.entries.snapshot().items, QStringList({"one", "it's", "two"}));
    QCOMPARE(fixture.entries.snapshot().selected, 2);
    QCOMPARE(fixture.recorder.lines(), quint64(2));
    QCOMPARE(queryColumn(fixture.databasePath, rows).size(), 2);
}

void tst_Recording::lockedDatabaseHoldsBackOnlyRows()
{
    // The queue holds two datagrams; rows held back count against that until they are in.
    RecordingFixture fixture(2);
    QVERIFY(fixture.ready);
    std::optional<TestConnection> other(std::in_place, fixture.databasePath);
    QVERIFY(other->exec(QStringLiteral("begin immediate")));
    fixture.start();

    const QByteArrayView datagrams[] = {"one\n", "two\n", "three\n"};
    fixture.queue.push(datagrams, 2);
    QCOMPARE(fixture.queue.dropped(), quint64(0));
    // The caption is stamped once the round is done.
    QTRY_VERIFY(!fixture.entries.snapshot().caption.isNull());
    QCOMPARE(fixture.entries.snapshot().items, QStringList({"one", "two"}));
    QCOMPARE(logMismatch(readFile(fixture.textLogPath), {"one", "two"}), QString());
    fixture.queue.push(datagrams + 2, 1);
    QCOMPARE(fixture.queue.dropped(), quint64(1));

    // Tried again by itself, and the room is back.
    other.reset();
    const QString texts = QStringLiteral("select LogText from KIVData");
    QTRY_COMPARE(queryColumn(fixture.databasePath, texts), QStringList({"one", "two"}));
    QVERIFY(QTest::qWaitFor([&] {
        fixture.queue.push(datagrams + 2, 1);
        return fixture.queue.queued() == 3;
    }));
    QTRY_COMPARE(queryColumn(fixture.databasePath, texts), QStringList({"one", "two", "three"}));
    QCOMPARE(fixture.ended.load(), 0);
}

void tst_Recording::singleToText_data()
{
    QTest::addColumn<float>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << 0.0f << "0";
    QTest::newRow("one half") << 0.5f << "0.5";
    QTest::newRow("trailing zeros dropped") << 0.25f << "0.25";
    QTest::newRow("the single's digits, not its double's") << 0.1f << "0.1";
    QTest::newRow("seven digits kept") << 0.1234567f << "0.1234567";
    QTest::newRow("eighth digit rounds") << 0.12345678f << "0.1234568";
    QTest::newRow("rounding carries into fewer digits") << 0.12999999f << "0.13";
    QTest::newRow("largest below 1 stays below 1") << 0.99999994f << "0.9999999";
    QTest::newRow("plain down to 1E-04") << 0.0001f << "0.0001";
    QTest::newRow("seven digits after zeros") << 0.0001234568f << "0.0001234568";
    QTest::newRow("rounding up to 1E-04 turns plain") << 0.0000999999999f << "0.0001";
    QTest::newRow("exponent below 1E-04") << 1.234568e-05f << "1.234568E-05";
    QTest::newRow("exponent without trailing zeros") << 0.00005f << "5E-05";
    QTest::newRow("smallest debug number") << 5.9604645e-08f << "5.960464E-08";
}

void tst_Recording::singleToText()
{
    QFETCH(float, value);
    QFETCH(QString, text);
    QCOMPARE(::singleToText(value), text);
}

void tst_Recording::singleFromBits_data()
{
    QTest::addColumn<quint32>("bits");
    QTest::addColumn<float>("value");
    QTest::newRow("no bits") << 0u << 0.0f;
    QTest::newRow("below the lowest step") << 0xFFu << 0.0f;
    QTest::newRow("lowest step") << 0x100u << 5.9604645e-08f;
    QTest::newRow("top bit is one half") << 0x80000000u << 0.5f;
    QTest::newRow("all bits stay below 1") << 0xFFFFFFFFu << 0.99999994f;
}

void tst_Recording::singleFromBits()
{
    QFETCH(quint32, bits);
    QFETCH(float, value);
    QCOMPARE(::singleFromBits(bits), value);
}

QTEST_GUILESS_MAIN(tst_Recording)
#include "tst_recording.moc"
