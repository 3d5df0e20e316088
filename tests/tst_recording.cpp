#include "Clock.h"
#include "Cp1252.h"
#include "DatabaseLog.h"
#include "DebugEntrySource.h"
#include "DirectoryWatch.h"
#include "EntryList.h"
#include "EntryRecorder.h"
#include "Failure.h"
#include "FileDescriptor.h"
#include "TestSupport.h"
#include "TextLog.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QTest>

#include <cerrno>
#include <climits>
#include <csignal>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/fiemap.h>
#include <linux/fs.h>
#include <optional>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

namespace {

// One line, written at once, as a slice of one entry does.
void writeLine(TextLog &log, const QString &timestamp, const QString &text)
{
    log.append(timestamp, text);
    log.flush();
}

} // namespace

class tst_Recording : public QObject
{
    Q_OBJECT

private slots:
    void timestampText_data();
    void timestampText();
    void systemClockTimestampIsNow();
    void cp1252RoundTripsEveryByte();
    void cp1252DecodesTheHighControls();
    void keepsLatestFortyEntries();
    void cleanupRemovesOnlyAtOnePastTheLimit();
    void textLogLine_data();
    void textLogLine();
    void textLogFollowsItsPath();
    void directoryWatchTellsChangedNames();
    void textLogFailureNamesFileAndCause();
    void textLogKeepsNoHalfLineWhenAWriteFails();
    void textLogWritebackKeepsNothingOpen();
    void textLogIsWrittenBackEachMiB();
    void writebackFailureIsToldOnceTheEntryIsRecorded();
    void writeFileRecordsInListTextLogAndDatabase();
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

void tst_Recording::systemClockTimestampIsNow()
{
    const Clock clock;
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

void tst_Recording::cp1252RoundTripsEveryByte()
{
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    const QString text = decodeCp1252(all);
    QCOMPARE(text.size(), 256);
    QCOMPARE(QSet<QChar>(text.begin(), text.end()).size(), 256);
    QCOMPARE(encodeCp1252(text), all);
}

void tst_Recording::cp1252DecodesTheHighControls()
{
    QCOMPARE(decodeCp1252("\x80"), QString(QChar(0x20AC)));
    QCOMPARE(decodeCp1252("\x9F"), QString(QChar(0x0178)));
    QCOMPARE(decodeCp1252("\x81\x8D\x8F\x90\x9D"),
             QString::fromUtf16(u"\u0081\u008D\u008F\u0090\u009D"));
    QCOMPARE(decodeCp1252("\xE9"), QString(QChar(0xE9)));
    QCOMPARE(encodeCp1252(u"\u4E2D"), QByteArray("?"));
}

void tst_Recording::keepsLatestFortyEntries()
{
    MemoryEntryList list;
    for (int i = 1; i <= 41; ++i) {
        addNewestEntry(list, QString::number(i));
        QCOMPARE(list.count(), qMin(i, 40));
        QCOMPARE(list.selectedIndex(), list.count() - 1);
    }
    QCOMPARE(list.items().first(), QStringLiteral("2"));
    QCOMPARE(list.items().last(), QStringLiteral("41"));
}

void tst_Recording::cleanupRemovesOnlyAtOnePastTheLimit()
{
    MemoryEntryList list;
    for (int i = 0; i < 40; ++i)
        list.addItem(QString::number(i));
    CleanupList(list);
    QCOMPARE(list.count(), 40);
    list.addItem(QStringLiteral("40"));
    list.addItem(QStringLiteral("41"));
    CleanupList(list); // 42 never happens through addNewestEntry; the rule leaves it alone
    QCOMPARE(list.count(), 42);
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
    writeLine(log, QStringLiteral("12/7/2026 6:54:52 AM"), entry);
    QCOMPARE(readFile(log.path()), line);
    // Lines wait for the flush, and go together.
    log.append(QStringLiteral("12/7/2026 6:54:52 AM"), entry);
    log.append(QStringLiteral("12/7/2026 6:54:52 AM"), entry);
    QCOMPARE(readFile(log.path()), line);
    log.flush();
    QCOMPARE(readFile(log.path()), line + line + line);
}

void tst_Recording::textLogFollowsItsPath()
{
    // The file stays open between lines; each line still goes to whatever the path names.
    QTemporaryDir dir;
    TextLog log(dir.filePath(QStringLiteral("mylog.txt")));
    writeLine(log, QStringLiteral("T"), QStringLiteral("first"));
    QVERIFY(QFile::remove(log.path()));
    writeLine(log, QStringLiteral("T"), QStringLiteral("second"));
    QCOMPARE(readFile(log.path()), QByteArray("T: second\r\n"));

    // Rotated: the old file keeps its lines, a new one takes the next.
    const QString rotated = dir.filePath(QStringLiteral("mylog.1"));
    QVERIFY(QFile::rename(log.path(), rotated));
    writeLine(log, QStringLiteral("T"), QStringLiteral("third"));
    QCOMPARE(readFile(rotated), QByteArray("T: second\r\n"));
    QCOMPARE(readFile(log.path()), QByteArray("T: third\r\n"));

    // Replaced in one step, as `mv` does it.
    const QString replacement = dir.filePath(QStringLiteral("new.txt"));
    QFile file(replacement);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("kept\r\n") == 6);
    file.close();
    QCOMPARE(::rename(QFile::encodeName(replacement).constData(),
                      QFile::encodeName(log.path()).constData()),
             0);
    writeLine(log, QStringLiteral("T"), QStringLiteral("fourth"));
    QCOMPARE(readFile(log.path()), QByteArray("kept\r\nT: fourth\r\n"));

    // Closed, it opens again at the next line.
    log.close();
    writeLine(log, QStringLiteral("T"), QStringLiteral("fifth"));
    QCOMPARE(readFile(log.path()), QByteArray("kept\r\nT: fourth\r\nT: fifth\r\n"));

    // A link to a file elsewhere: what happens there is out of the folder's sight.
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath(QStringLiteral("target.txt"));
    QVERIFY(QFile::remove(log.path()));
    QVERIFY(QFile::link(target, log.path()));
    writeLine(log, QStringLiteral("T"), QStringLiteral("sixth"));
    QVERIFY(QFile::remove(target));
    writeLine(log, QStringLiteral("T"), QStringLiteral("seventh"));
    QCOMPARE(readFile(target), QByteArray("T: seventh\r\n"));
}

void tst_Recording::directoryWatchTellsChangedNames()
{
    QTemporaryDir dir;
    const QString name = dir.filePath(QStringLiteral("a.txt"));
    DirectoryWatch watch(dir.path());
    if (watch.mayHaveChanged())
        QSKIP("The folder's filesystem is not watched here; every look goes to the path");

    QFile file(name);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QVERIFY(watch.mayHaveChanged());
    QVERIFY(!watch.mayHaveChanged());
    // Writing is not a change of name: the logger's own lines must not cost a look.
    QCOMPARE(file.write("line\r\n"), 6);
    QVERIFY(file.flush());
    QVERIFY(!watch.mayHaveChanged());

    QVERIFY(file.setPermissions(QFile::ReadOwner));
    QVERIFY(watch.mayHaveChanged());
    const QString moved = dir.filePath(QStringLiteral("b.txt"));
    QVERIFY(QFile::rename(name, moved));
    QVERIFY(watch.mayHaveChanged());
    QVERIFY(QFile::remove(moved));
    QVERIFY(watch.mayHaveChanged());
    QVERIFY(!watch.mayHaveChanged());

    // Once the folder itself is gone nothing more would be told: every look says maybe.
    const QString renamed = dir.path() + QStringLiteral("-moved");
    QVERIFY(QDir().rename(dir.path(), renamed));
    const auto restore = qScopeGuard([&] { QDir().rename(renamed, dir.path()); });
    QVERIFY(watch.mayHaveChanged());
    QVERIFY(watch.mayHaveChanged());
    QVERIFY(DirectoryWatch(dir.filePath(QStringLiteral("missing"))).mayHaveChanged());
}

void tst_Recording::textLogFailureNamesFileAndCause()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("mylog.txt"));
    QVERIFY(QDir().mkdir(path)); // a directory where the file should be
    try {
        TextLog log(path);
        writeLine(log, QStringLiteral("T"), QStringLiteral("x"));
        QFAIL("appending to a directory succeeded");
    } catch (const Failure &failure) {
        QCOMPARE(failure.number(), EISDIR);
        QVERIFY2(failure.description().contains(path), qPrintable(failure.description()));
        QVERIFY2(failure.description().contains(QStringLiteral("Is a directory")),
                 qPrintable(failure.description()));
    }

    TextLog full(QStringLiteral("/dev/full"));
    try {
        writeLine(full, QStringLiteral("T"), QStringLiteral("x"));
        QFAIL("writing to a full device succeeded");
    } catch (const Failure &failure) {
        QCOMPARE(failure.number(), ENOSPC);
    }
}

void tst_Recording::textLogKeepsNoHalfLineWhenAWriteFails()
{
    QTemporaryDir dir;
    TextLog log(dir.filePath(QStringLiteral("mylog.txt")));
    writeLine(log, QStringLiteral("T"), QStringLiteral("whole"));
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
            writeLine(log, QStringLiteral("T"), QStringLiteral("a line longer than ten bytes"));
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

namespace {

// Appends lines of 100 bytes until at least `bytes` are in the log; returns how many.
qsizetype appendAbout(TextLog &log, qsizetype bytes)
{
    const QString text(95, QLatin1Char('x'));
    qsizetype lines = 0;
    for (; lines * 100 < bytes; ++lines)
        writeLine(log, QStringLiteral("T"), text);
    return lines;
}

// Whether the first `bytes` of the file still wait for their blocks (delayed allocation,
// nothing written back yet); nothing when the filesystem cannot tell.
std::optional<bool> allocationDelayed(const QString &path, qsizetype bytes)
{
    FileDescriptor file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC));
    constexpr quint32 Extents = 64;
    alignas(fiemap) char request[sizeof(fiemap) + Extents * sizeof(fiemap_extent)] = {};
    auto *map = reinterpret_cast<fiemap *>(request);
    map->fm_length = quint64(bytes);
    map->fm_extent_count = Extents;
    if (!file.isValid() || ::ioctl(file.get(), FS_IOC_FIEMAP, map) != 0 ||
        map->fm_mapped_extents == 0)
        return std::nullopt;
    for (quint32 i = 0; i < map->fm_mapped_extents; ++i) {
        if (map->fm_extents[i].fe_flags & FIEMAP_EXTENT_DELALLOC)
            return true;
    }
    return false;
}

} // namespace

void tst_Recording::textLogWritebackKeepsNothingOpen()
{
    const int before = openDescriptors();
    {
        // A device has nothing to write back, which is no failure.
        TextLog device(QStringLiteral("/dev/null"));
        appendAbout(device, 3 * TextLog::WritebackBytes);
        QTemporaryDir dir;
        TextLog log(dir.filePath(QStringLiteral("mylog.txt")));
        const qsizetype lines = appendAbout(log, 3 * TextLog::WritebackBytes);
        QCOMPARE(readFile(log.path()).size(), lines * 100);
    }
    QCOMPARE(openDescriptors(), before);
}

void tst_Recording::textLogIsWrittenBackEachMiB()
{
    QTemporaryDir dir;
    TextLog log(dir.filePath(QStringLiteral("mylog.txt")));
    appendAbout(log, 100);
    if (allocationDelayed(log.path(), 4096) != true)
        QSKIP("this filesystem does not delay allocation, so there is no writeback to wait for");
    // The system would leave the first MiB for half a minute; the log hands it over at once.
    appendAbout(log, TextLog::WritebackBytes);
    QTRY_COMPARE_WITH_TIMEOUT(allocationDelayed(log.path(), TextLog::WritebackBytes - 4096),
                              std::optional<bool>(false), 10000);
}

// The system's writeback, failing for files named failing-disk.txt as on a disk that fails.
extern "C" int sync_file_range(int fd, off64_t offset, off64_t count, unsigned int flags)
{
    char path[PATH_MAX];
    const ssize_t length = ::readlink(
        QByteArray("/proc/self/fd/" + QByteArray::number(fd)).constData(), path, sizeof path);
    if (length > 0 && QByteArrayView(path, length).endsWith("/failing-disk.txt")) {
        errno = EIO;
        return -1;
    }
    using SyncFileRange = int (*)(int, off64_t, off64_t, unsigned int);
    static const auto system =
        reinterpret_cast<SyncFileRange>(::dlsym(RTLD_NEXT, "sync_file_range"));
    return system(fd, offset, count, flags);
}

void tst_Recording::writebackFailureIsToldOnceTheEntryIsRecorded()
{
    QTemporaryDir dir;
    const QString databasePath = dir.filePath(QStringLiteral("Log.mdb"));
    QVERIFY(createLogDatabase(databasePath));
    MemoryEntryList list;
    TextLog log(dir.filePath(QStringLiteral("failing-disk.txt")));
    DatabaseLog database(databasePath);
    database.open();
    const FixedClock clock(QDateTime(QDate(2026, 12, 7), QTime(18, 5, 1)));
    EntryRecorder recorder(list, log, database, clock);
    // The first MiB goes to the writeback, which fails; a later entry tells it, once it is
    // in both logs.
    std::optional<Failure> failure;
    int entries = 0;
    const QDeadlineTimer deadline(30000);
    while (!failure && !deadline.hasExpired()) {
        recorder.WriteFile(QString::number(entries++));
        try {
            recorder.commit();
        } catch (const Failure &caught) {
            failure = caught;
        }
    }
    QVERIFY(failure);
    QCOMPARE(failure->number(), EIO);
    QVERIFY2(failure->description().contains(log.path()), qPrintable(failure->description()));
    const QByteArray last = QByteArray::number(entries - 1);
    QVERIFY(readFile(log.path()).endsWith(": " + last + "\r\n"));
    QCOMPARE(queryColumn(databasePath, QStringLiteral("select count(*) from KIVData")),
             QStringList{QString::number(entries)});
}

void tst_Recording::writeFileRecordsInListTextLogAndDatabase()
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("mylog.txt"));
    const QString databasePath = dir.filePath(QStringLiteral("Log.mdb"));
    QVERIFY(createLogDatabase(databasePath));
    MemoryEntryList list;
    TextLog log(path);
    DatabaseLog database(databasePath);
    database.open();
    const FixedClock clock(QDateTime(QDate(2026, 12, 7), QTime(18, 5, 1)));
    EntryRecorder recorder(list, log, database, clock);

    // Line and row wait for the commit.
    recorder.WriteFile(QStringLiteral("one"));
    QCOMPARE(recorder.recorded(), quint64(0));
    QVERIFY(!QFile::exists(path));
    recorder.commit();
    QCOMPARE(recorder.recorded(), quint64(1));
    QCOMPARE(readFile(path), QByteArray("12/7/2026 6:05:01 PM: one\r\n"));
    QCOMPARE(
        queryColumn(databasePath, QStringLiteral("select LogDate || '|' || LogText from KIVData")),
        QStringList{QStringLiteral("12/7/2026 6:05:01 PM|one")});

    // A failed step leaves the earlier ones done and the later ones undone.
    QVERIFY(QFile::remove(path));
    QVERIFY(QDir().mkdir(path));
    recorder.WriteFile(QStringLiteral("two"));
    QVERIFY_THROWS_EXCEPTION(Failure, recorder.commit());
    QCOMPARE(list.items(), QStringList({QStringLiteral("one"), QStringLiteral("two")}));
    QCOMPARE(list.selectedIndex(), 1);
    QCOMPARE(recorder.recorded(), quint64(1));
    // An entry without its line gets no row either.
    QVERIFY(QDir().rmdir(path));
    recorder.WriteFile(QStringLiteral("three"));
    recorder.commit();
    QCOMPARE(queryColumn(databasePath, QStringLiteral("select LogText from KIVData")),
             QStringList({QStringLiteral("one"), QStringLiteral("three")}));
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
