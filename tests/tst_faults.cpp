#include "TestSupport.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>
#include <QTest>

#include <cstdio>
#include <grp.h>
#include <optional>
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

// Faults of the files around the built program: it ends with the number and a description
// naming the file and the cause, and keeps everything recorded before.
class tst_Faults : public QObject
{
    Q_OBJECT

public:
    enum Fault {
        TextLogIsADirectory,
        TextLogReadOnly,
        FolderReadOnly,
        FileSizeLimit,
        DiskFull,
        DatabaseLocked,
        DatabaseDeleted,
        DatabaseReplaced,
    };
    Q_ENUM(Fault)

private slots:
    void init();
    void endsWithAMessageAndKeepsWhatWasRecorded_data();
    void endsWithAMessageAndKeepsWhatWasRecorded();
    void tooFewDescriptorsEndWithTheTrueCause();
};

namespace {

constexpr rlim_t FileSizeLimitBytes = 1024 * 1024;

// Root passes every permission check, so under root the program runs as "nobody", who is
// given the application directory, for permissions to bite. False if that cannot be done.
bool runAsNobody(ProgramUnderTest &program)
{
    const passwd *user = ::getpwnam("nobody");
    if (!user)
        return false;
    const uid_t uid = user->pw_uid;
    const gid_t gid = user->pw_gid;
    for (const QString &path : {program.directory(), program.file(QStringLiteral("Log.mdb"))}) {
        if (::chown(QFile::encodeName(path).constData(), uid, gid) != 0)
            return false;
    }
    program.setChildSetup([uid, gid] {
        if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0)
            ::_exit(127);
    });
    return true;
}

} // namespace

void tst_Faults::init()
{
    QVERIFY2(!udpPortBound(6177), portTaken(6177).constData());
}

void tst_Faults::endsWithAMessageAndKeepsWhatWasRecorded_data()
{
    QTest::addColumn<Fault>("fault");
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<QByteArray>("cause");
    const QString textLog = QStringLiteral("mylog.txt");
    const QString database = QStringLiteral("Log.mdb");
    QTest::newRow("mylog.txt replaced by a directory")
        << TextLogIsADirectory << textLog << QByteArray("Is a directory");
    QTest::newRow("mylog.txt read-only")
        << TextLogReadOnly << textLog << QByteArray("Permission denied");
    QTest::newRow("folder read-only, mylog.txt moved away")
        << FolderReadOnly << textLog << QByteArray("Permission denied");
    QTest::newRow("file size limit reached mid-line")
        << FileSizeLimit << textLog << QByteArray("File too large");
    QTest::newRow("disk full") << DiskFull << textLog << QByteArray("No space left on device");
    QTest::newRow("database locked through a stop")
        << DatabaseLocked << database
        << QByteArray("another program held a lock on it until the stop had waited 30 s; 1 "
                      "received datagram left without a row (1 of them with a line in");
    QTest::newRow("database deleted")
        << DatabaseDeleted << database
        << QByteArray("was deleted or moved away while the logger ran");
    QTest::newRow("database replaced")
        << DatabaseReplaced << database
        << QByteArray("was replaced by another while the logger ran");
}

void tst_Faults::endsWithAMessageAndKeepsWhatWasRecorded()
{
    QFETCH(Fault, fault);
    QFETCH(QString, fileName);
    QFETCH(QByteArray, cause);
    ProgramUnderTest program;
    const QString log = program.file(QStringLiteral("mylog.txt"));
    const QString database = program.file(QStringLiteral("Log.mdb"));
    const QString rows = QStringLiteral("select LogText from KIVData order by ID");

    if ((fault == TextLogReadOnly || fault == FolderReadOnly) && ::geteuid() == 0 &&
        !runAsNobody(program)) {
        QSKIP("Running as root without a user \"nobody\" to run the program as: permissions do "
              "not bite");
    }
    const auto restore = qScopeGuard([&] {
        QFile::setPermissions(program.directory(),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    if (fault == FileSizeLimit) {
        // 200 bytes short of the limit: the first entry fits, the second gets part way.
        QFile file(log);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(QByteArray(qsizetype(FileSizeLimitBytes) - 202, 'x') + "\r\n");
        file.close();
        program.setChildSetup([] {
            const rlimit limit{FileSizeLimitBytes, FileSizeLimitBytes};
            ::setrlimit(RLIMIT_FSIZE, &limit);
        });
    }

    QVERIFY(program.startListening());
    const auto tell = qScopeGuard([&] {
        if (QTest::currentTestFailed())
            qWarning("the logger said: %s", program.process().readAllStandardError().constData());
    });
    QVERIFY(sendDatagram(6177, "before\n"));
    // The first row may wait for the disk: right after a build, the logger's first syncs
    // have taken more than the default five seconds.
    QTRY_COMPARE_WITH_TIMEOUT(queryColumn(database, rows), QStringList{"before"}, 30000);
    const QByteArray logBefore = readFile(log);

    std::optional<TestConnection> lock;
    switch (fault) {
    case TextLogIsADirectory:
        QVERIFY(QFile::remove(log));
        QVERIFY(QDir().mkdir(log));
        break;
    case TextLogReadOnly:
        QVERIFY(QFile::setPermissions(log, QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
        break;
    case FolderReadOnly:
        QVERIFY(QFile::remove(log));
        QVERIFY(QFile::setPermissions(program.directory(), QFile::ReadOwner | QFile::ExeOwner));
        break;
    case FileSizeLimit:
        break;
    case DiskFull:
        QVERIFY(QFile::remove(log));
        QVERIFY(QFile::link(QStringLiteral("/dev/full"), log));
        break;
    case DatabaseLocked:
        lock.emplace(database);
        QVERIFY(lock->exec(QStringLiteral("begin immediate")));
        break;
    case DatabaseDeleted:
        QVERIFY(QFile::remove(database));
        break;
    case DatabaseReplaced:
        // As `mv new.mdb Log.mdb` does it: a new file takes the name in one step.
        QVERIFY(createLogDatabase(program.file(QStringLiteral("new.mdb"))));
        QCOMPARE(::rename(QFile::encodeName(program.file(QStringLiteral("new.mdb"))).constData(),
                          QFile::encodeName(database).constData()),
                 0);
        break;
    }

    const QByteArray lost = "lost " + QByteArray(300, '-');
    QVERIFY(sendDatagram(6177, lost + '\n'));
    if (fault == DatabaseLocked) {
        // The line goes on while the row waits; a stop waits for the row, then gives up.
        QTRY_VERIFY_WITH_TIMEOUT(readFile(log).contains(lost), 10000);
        program.process().terminate();
    }
    QVERIFY(program.process().waitForFinished(45000));
    QCOMPARE(program.process().exitStatus(), QProcess::NormalExit);
    QVERIFY(program.process().exitCode() != 0);
    const QByteArray message = program.process().readAllStandardError();
    QVERIFY2(message.contains("KIVLogging: Error ") && message.contains(cause) &&
                 message.contains(QFile::encodeName(program.file(fileName))),
             message);
    lock.reset();

    if (fileName == QLatin1String("mylog.txt")) {
        // The entry failed at the text log: no row for it, and no half line either.
        QCOMPARE(queryColumn(database, rows), QStringList{"before"});
        const QFileInfo info(log);
        if (info.isFile() && !info.isSymLink())
            QCOMPARE(readFile(log), logBefore);
        return;
    }
    // The entry failed at the database, after its line was written.
    const QByteArray logAfter = readFile(log);
    QVERIFY(logAfter.startsWith(logBefore));
    QCOMPARE(logMismatch(logAfter, {"before", lost}), QString());
    if (fault == DatabaseLocked)
        QCOMPARE(queryColumn(database, rows), QStringList{"before"});
    if (fault == DatabaseReplaced)
        QCOMPARE(queryColumn(database, rows), QStringList());
}

void tst_Faults::tooFewDescriptorsEndWithTheTrueCause()
{
    // Each limit lets start-up get one step further, until the logger records.
    ProgramUnderTest program;
    const QString database = program.file(QStringLiteral("Log.mdb"));
    const QString rows = QStringLiteral("select count(*) from KIVData");
    // A sanitized build names the options its program needs without a descriptor to spare.
    QStringList environment;
    if (qEnvironmentVariableIsSet("KIV_STARVED_UBSAN_OPTIONS"))
        environment.append("UBSAN_OPTIONS=" + qEnvironmentVariable("KIV_STARVED_UBSAN_OPTIONS"));
    int failures = 0;
    for (rlim_t descriptors = 3; descriptors < 64; ++descriptors) {
        const QString context = QStringLiteral("ulimit -n %1").arg(descriptors);
        program.setChildSetup([descriptors] {
            const rlimit limit{descriptors, descriptors};
            ::setrlimit(RLIMIT_NOFILE, &limit);
        });
        program.start(environment);
        QVERIFY2(program.process().waitForStarted(10000), qPrintable(context));
        bool sent = false;
        const QDeadlineTimer deadline(20000);
        while (program.process().state() == QProcess::Running && !deadline.hasExpired()) {
            if (!sent && udpPortBound(6177)) {
                QVERIFY(sendDatagram(6177, "recorded\n"));
                sent = true;
            }
            if (sent && queryColumn(database, rows) == QStringList{"1"})
                break;
            program.process().waitForFinished(20);
        }
        if (program.process().state() == QProcess::Running) {
            QVERIFY2(sent && queryColumn(database, rows) == QStringList{"1"}, qPrintable(context));
            QCOMPARE(program.terminate(), 0);
            QVERIFY2(failures > 0, "the first limit tried was already enough");
            return;
        }
        const QByteArray message = program.process().readAllStandardError();
        // The loader and Qt's platform come before the logger's own code and end their way.
        if (message.contains("error while loading shared libraries") ||
            message.contains("no Qt platform plugin could be initialized"))
            continue;
        ++failures;
        QVERIFY2(program.process().exitStatus() == QProcess::NormalExit &&
                     program.process().exitCode() == 1 && message.contains("KIVLogging: Error ") &&
                     message.contains("Too many open files"),
                 qPrintable(context + QStringLiteral(": ") + QString::fromLocal8Bit(message)));
    }
    QFAIL("the logger never started");
}

QTEST_GUILESS_MAIN(tst_Faults)
#include "tst_faults.moc"
