#include "TestSupport.h"

#include <QFile>
#include <QScopeGuard>
#include <QTest>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <unistd.h>

// The built program in a temporary application directory, driven over real UDP on 6177.
class tst_Program : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void recordsEachDatagramInBothLogs();
    void secondCopyFailsAtBindAndTheFirstGoesOn();
    void runsHeadless_data();
    void runsHeadless();
    void keepsArrivalOrderInABurst();
    void startUpFailsWithoutAUsableDatabase_data();
    void startUpFailsWithoutAUsableDatabase();
    void readersAndShortLocksDoNotStopTheLogger();
    void hangUpStopsAndASecondTerminationHurries();
    void startUpNamesAFolderNotWritableAndTheFix();
};

void tst_Program::init()
{
    QVERIFY2(!udpPortBound(6177), portTaken(6177).constData());
}

void tst_Program::recordsEachDatagramInBothLogs()
{
    ProgramUnderTest program;
    QVERIFY(program.startListening());
    // Read as Windows-1252 or as UTF-8, each comes back as received; U+0081 is one character
    // either way.
    const QByteArrayList datagrams = {"hello\n",
                                      "\n",
                                      "a\r\nb\n",
                                      printableAndHighBytes() + '\n',
                                      "Temp\xC3\xA9rature 3 \xC2\xB0"
                                      "C \xE2\x80\x93 ok\n",
                                      "\xC2\x81\n",
                                      "it's 'quoted'\n",
                                      "'); drop table KIVData; --\n",
                                      "\x80\x81\xFF!",
                                      QByteArray("a\0b\0\n", 5),
                                      QByteArray(65507, 'z')};
    QByteArrayList entries;
    QStringList rows;
    for (const QByteArray &datagram : datagrams) {
        QVERIFY(sendDatagram(6177, datagram));
        entries.append(entryOf(datagram));
        // Rows hold the decoded characters as UTF-8, e.g. 0x80 as the euro sign.
        rows.append(rowHex(entries.last()));
    }
    const QString log = program.file(QStringLiteral("mylog.txt"));
    QVERIFY(waitForLog(log, entries));
    QTRY_COMPARE_WITH_TIMEOUT(
        queryColumn(program.file(QStringLiteral("Log.mdb")),
                    QStringLiteral("select hex(LogText) from KIVData order by ID")),
        rows, 10000);

    // Deleted, the text log is made again by the next line.
    QVERIFY(QFile::remove(log));
    QVERIFY(sendDatagram(6177, "after\n"));
    QVERIFY(waitForLog(log, {"after"}));
    QCOMPARE(program.terminate(), 0);
}

void tst_Program::secondCopyFailsAtBindAndTheFirstGoesOn()
{
    ProgramUnderTest first;
    QVERIFY(first.startListening());
    ProgramUnderTest second;
    second.start();
    QVERIFY(second.process().waitForFinished(10000));
    QCOMPARE(second.process().exitStatus(), QProcess::NormalExit);
    QVERIFY(second.process().exitCode() != 0);
    const QByteArray message = second.process().readAllStandardError();
    QVERIFY2(message.contains("6177") && message.contains("Address already in use"), message);

    QVERIFY(sendDatagram(6177, "still here\n"));
    QVERIFY(waitForLog(first.file(QStringLiteral("mylog.txt")), {"still here"}));
    QVERIFY(!QFile::exists(second.file(QStringLiteral("mylog.txt"))));
    QCOMPARE(first.terminate(), 0);
}

void tst_Program::runsHeadless_data()
{
    QTest::addColumn<QString>("display");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("absent");
    QTest::newRow("no display named")
        << QString() << QStringList()
        << QByteArray("KIVLogging: no display found; running headless.\n")
        << QByteArray("ignoring");
    QTest::newRow("display out of reach")
        << ":4711" << QStringList()
        << QByteArray("KIVLogging: cannot reach the display; running headless.\n")
        << QByteArray("no display found");
    QTest::newRow("Qt's -platform taken, other arguments ignored")
        << QString() << QStringList{"--help", "-platform", "offscreen", "extra"}
        << QByteArray("KIVLogging: ignoring --help extra: the logger takes no arguments but Qt's "
                      "own.\n")
        << QByteArray("no display found");
}

void tst_Program::runsHeadless()
{
    QFETCH(QString, display);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, absent);
    ProgramUnderTest program;
    program.process().setArguments(arguments);
    QVERIFY(program.startListening(
        {display.isEmpty() ? QStringLiteral("-DISPLAY") : QStringLiteral("DISPLAY=") + display,
         QStringLiteral("-WAYLAND_DISPLAY"), QStringLiteral("-QT_QPA_PLATFORM")}));
    QVERIFY(sendDatagram(6177, "headless\n"));
    QVERIFY(waitForLog(program.file(QStringLiteral("mylog.txt")), {"headless"}));
    QCOMPARE(program.terminate(), 0);
    const QByteArray error = program.process().readAllStandardError();
    QVERIFY2(error.contains(message) && !error.contains(absent), error);
    const QByteArray started = "KIVLogging: listening on UDP 6177 (IPv4 and IPv6), writing " +
                               QFile::encodeName(program.file(QStringLiteral("mylog.txt"))) +
                               " and " +
                               QFile::encodeName(program.file(QStringLiteral("Log.mdb"))) + "\n";
    QVERIFY2(error.contains(started), error);
    // The window's icon is drawn by Qt's SVG plugins.
    QVERIFY2(!error.contains("icon"), error);
}

void tst_Program::keepsArrivalOrderInABurst()
{
    ProgramUnderTest program;
    QVERIFY(program.startListening());
    QByteArrayList entries;
    QStringList rows;
    for (int i = 0; i < 2000; ++i) {
        entries.append(QByteArray::number(i));
        rows.append(QString::number(i));
        QVERIFY(sendDatagram(6177, entries.last() + '\n'));
    }
    QTRY_COMPARE_WITH_TIMEOUT(
        queryColumn(program.file(QStringLiteral("Log.mdb")),
                    QStringLiteral("select LogText from KIVData order by ID")),
        rows, 20000);
    QVERIFY(waitForLog(program.file(QStringLiteral("mylog.txt")), entries));
    QCOMPARE(program.terminate(), 0);
}

void tst_Program::startUpFailsWithoutAUsableDatabase_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("createStatement");
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("missing") << QByteArray() << QString() << QByteArray("the file is missing");
    QTest::newRow("not a database")
        << QByteArray("just text\n") << QString() << QByteArray("file is not a database");
    QTest::newRow("no table") << QByteArray() << "create table Other (x)"
                              << QByteArray("no table KIVData");
}

void tst_Program::startUpFailsWithoutAUsableDatabase()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, createStatement);
    QFETCH(QByteArray, message);
    ProgramUnderTest program(false);
    const QString path = program.file(QStringLiteral("Log.mdb"));
    QVERIFY(prepareDatabaseFile(path, content, createStatement));
    program.start();
    QVERIFY(program.process().waitForFinished(10000));
    QCOMPARE(program.process().exitStatus(), QProcess::NormalExit);
    QVERIFY(program.process().exitCode() != 0);
    const QByteArray error = program.process().readAllStandardError();
    QVERIFY2(error.contains(QFile::encodeName(path)) && error.contains(message), error);
    QVERIFY2(!error.contains("listening"), error);
    QVERIFY(!QFile::exists(program.file(QStringLiteral("mylog.txt"))));
}

void tst_Program::readersAndShortLocksDoNotStopTheLogger()
{
    ProgramUnderTest program;
    QVERIFY(program.startListening());
    const QString database = program.file(QStringLiteral("Log.mdb"));
    const QString log = program.file(QStringLiteral("mylog.txt"));
    const QString rows = QStringLiteral("select LogText from KIVData order by ID");
    // The socket is bound before the database is opened: a first row shows start-up is over.
    QVERIFY(sendDatagram(6177, "started\n"));
    QTRY_COMPARE_WITH_TIMEOUT(queryColumn(database, rows), QStringList{"started"}, 10000);

    TestConnection other(database);
    QVERIFY(other.exec(QStringLiteral("begin")));
    QCOMPARE(other.column(QStringLiteral("select count(*) from KIVData")), QStringList{"1"});
    QVERIFY(sendDatagram(6177, "while reading\n"));
    QTRY_COMPARE(queryColumn(database, rows), QStringList({"started", "while reading"}));
    QVERIFY(other.exec(QStringLiteral("commit")));

    // A write lock held past the notice: the lines go on, the rows wait and then follow in
    // order. Nothing is lost and the logger goes on.
    QVERIFY(other.exec(QStringLiteral("begin immediate")));
    const QStringList locked = {"while locked", "queued 1", "queued 2"};
    for (const QString &text : locked)
        QVERIFY(sendDatagram(6177, text.toLatin1() + '\n'));
    QVERIFY(waitForLog(log, {"started", "while reading", "while locked", "queued 1", "queued 2"}));
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT(
        (said += program.process().readAllStandardError())
            .contains("another program holds a lock on " + QFile::encodeName(database)),
        10000);
    QVERIFY(other.exec(QStringLiteral("commit")));
    QTRY_COMPARE(queryColumn(database, rows), QStringList({"started", "while reading"}) + locked);
    QTRY_VERIFY((said += program.process().readAllStandardError()).contains("is gone after"));
    QCOMPARE(program.process().state(), QProcess::Running);
    QCOMPARE(program.terminate(), 0);
}

void tst_Program::hangUpStopsAndASecondTerminationHurries()
{
    ProgramUnderTest program;
    QVERIFY(program.startListening());
    const QString database = program.file(QStringLiteral("Log.mdb"));
    const QString log = program.file(QStringLiteral("mylog.txt"));
    QVERIFY(sendDatagram(6177, "one\n"));
    QVERIFY(waitForLog(log, {"one"}));
    ::kill(pid_t(program.process().processId()), SIGHUP);
    QVERIFY(program.process().waitForFinished(10000));
    QCOMPARE(program.process().exitCode(), 0);
    QCOMPARE(queryColumn(database, QStringLiteral("select LogText from KIVData")),
             QStringList{"one"});

    // A stop that waits for a lock: the second SIGTERM ends it at once, and says what is left.
    QVERIFY(program.startListening());
    TestConnection other(database);
    QVERIFY(other.exec(QStringLiteral("begin immediate")));
    QVERIFY(sendDatagram(6177, "two\n"));
    QVERIFY(waitForLog(log, {"one", "two"}));
    program.process().terminate();
    // The first one has stopped the reader; the stop now waits for the row.
    QTRY_VERIFY(!udpPortBound(6177));
    QCOMPARE(program.process().state(), QProcess::Running);
    program.process().terminate();
    QVERIFY(program.process().waitForFinished(10000));
    QCOMPARE(program.process().exitCode(), 1);
    const QByteArray said = program.process().readAllStandardError();
    QVERIFY2(said.contains("KIVLogging: stopped with 1 received datagram left without a row (1 of "
                           "them with a line in "),
             said.constData());
    QVERIFY(other.exec(QStringLiteral("rollback")));
    QCOMPARE(queryColumn(database, QStringLiteral("select LogText from KIVData")),
             QStringList{"one"});
}

void tst_Program::startUpNamesAFolderNotWritableAndTheFix()
{
    ProgramUnderTest program;
    const QString folder = program.directory();
    const auto restore = qScopeGuard([&] {
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    int expected = EACCES;
    if (::geteuid() == 0) {
        // Root writes past any permission bits, but not into a read-only mount; this one is
        // made in a mount namespace of the program's own and goes with it.
        QProcess probe;
        probe.start(QStringLiteral("unshare"),
                    {QStringLiteral("--mount"), QStringLiteral("mount"), QStringLiteral("-o"),
                     QStringLiteral("bind,ro"), folder, folder});
        if (!probe.waitForFinished(10000) || probe.exitCode() != 0) {
            QSKIP(qPrintable(QStringLiteral("root, and no read-only mount can be made here: ") +
                             QString::fromLocal8Bit(probe.readAllStandardError()).trimmed()));
        }
        expected = EROFS;
        program.process().setProgram(QStringLiteral("unshare"));
        program.process().setArguments({QStringLiteral("--mount"), QStringLiteral("sh"),
                                        QStringLiteral("-c"),
                                        QStringLiteral(R"(mount -o bind,ro "$1" "$1" && )"
                                                       R"(exec "$1/kivlogging")"),
                                        QStringLiteral("sh"), folder});
    } else {
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    }
    program.start();
    QVERIFY(program.process().waitForFinished(10000));
    QCOMPARE(program.process().exitStatus(), QProcess::NormalExit);
    QVERIFY(program.process().exitCode() != 0);
    const QByteArray error = program.process().readAllStandardError();
    const QByteArray cause = QFile::encodeName(QString::fromLocal8Bit(std::strerror(expected)));
    const QByteArray message = "KIVLogging: Error " + QByteArray::number(expected) +
                               ": The folder " + QFile::encodeName(folder) +
                               " is not writable for you (" + cause + ")";
    QVERIFY2(error.contains(message), error);
    QVERIFY2(
        error.contains("make install, or make " + QFile::encodeName(folder) + " writable for you."),
        error);
}

QTEST_GUILESS_MAIN(tst_Program)
#include "tst_program.moc"
