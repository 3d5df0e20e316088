#include "TestSupport.h"

#include <QFileInfo>
#include <QRandomGenerator>
#include <QTest>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

// The built program killed with SIGKILL in the middle of a burst, again and again on the same
// files: both logs stay consistent, and the next start goes on from there.
class tst_Crash : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void killedMidBurstLeavesBothLogsConsistent();
};

namespace {

// Sends "<id>:<random bytes>\n" to 6177 from a thread of its own until stopped; ids count
// on from `firstId`, so every entry is told apart by its start.
class BurstSender
{
public:
    BurstSender(quint32 seed, int firstId)
        : m_random(seed)
        , m_firstId(firstId)
        , m_thread([this] { run(); })
    {}
    ~BurstSender() { stop(); }

    // Stops sending and returns the entries sent, in order.
    const QByteArrayList &stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
        return m_entries;
    }

private:
    void run()
    {
        const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(6177);
        while (!m_stop) {
            // Short enough that a line always goes in one write; any byte, CR, LF and NUL too.
            QByteArray entry = QByteArray::number(m_firstId + m_entries.size()) + ':';
            const int size = m_random.bounded(200);
            for (int i = 0; i < size; ++i)
                entry.append(char(m_random.bounded(256)));
            const QByteArray datagram = entry + '\n';
            // Once the program is gone sends go nowhere; they are not counted on.
            ::sendto(fd, datagram.constData(), size_t(datagram.size()), 0,
                     reinterpret_cast<sockaddr *>(&to), sizeof to);
            m_entries.append(entry);
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        ::close(fd);
    }

    std::atomic<bool> m_stop{false};
    QRandomGenerator m_random;
    int m_firstId;
    QByteArrayList m_entries;
    std::thread m_thread;
};

} // namespace

void tst_Crash::init()
{
    QVERIFY2(!udpPortBound(6177), portTaken(6177).constData());
}

void tst_Crash::killedMidBurstLeavesBothLogsConsistent()
{
    const quint32 seed = testSeed();
    const QString context = QStringLiteral("seed %1 (KIV_TEST_SEED)").arg(seed);
    QRandomGenerator random(seed);
    ProgramUnderTest program;
    const QString log = program.file(QStringLiteral("mylog.txt"));
    const QString database = program.file(QStringLiteral("Log.mdb"));
    const long pageSize = ::sysconf(_SC_PAGESIZE);

    QByteArrayList sent;
    qsizetype checkedBytes = 0;
    int checkedRows = 0;
    int lastId = -1;
    for (int kill = 1; kill <= 5; ++kill) {
        const QString round = context + QStringLiteral(", kill %1").arg(kill);
        QVERIFY2(program.startListening(), qPrintable(round));
        QByteArrayList entries;
        {
            BurstSender sender(random.generate(), int(sent.size()));
            // Once the burst is being recorded, a random moment within the next 100 ms.
            QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(log).size() > checkedBytes, 10000);
            std::this_thread::sleep_for(std::chrono::microseconds(random.bounded(100000)));
            program.process().kill();
            QVERIFY(program.process().waitForFinished(10000));
            QCOMPARE(program.process().exitStatus(), QProcess::CrashExit);
            entries = sender.stop();
        }
        sent += entries;

        // Every new line is a whole line of a sent entry, in the order sent. Only the kernel
        // can cut one: a write stops at a page boundary when SIGKILL lands in between.
        const QByteArray bytes = readFile(log);
        QByteArrayList lines;
        bool cut = false;
        qsizetype pos = checkedBytes;
        while (pos < bytes.size()) {
            const qsizetype text = afterTimestamp(bytes, pos);
            const qsizetype colon = text < 0 ? -1 : bytes.indexOf(':', text);
            bool isNumber = false;
            const int id = colon < 0 ? -1 : bytes.mid(text, colon - text).toInt(&isNumber);
            if (isNumber && id > lastId && id < sent.size() && takeLine(bytes, pos, sent[id])) {
                lines.append(sent[id]);
                lastId = id;
                continue;
            }
            cut = bytes.size() % pageSize == 0 && bytes.size() - pos < 300;
            QVERIFY2(cut,
                     qPrintable(round + QStringLiteral(": a broken line at byte %1").arg(pos)));
            break;
        }
        checkedBytes = bytes.size();

        // The rows are the first of those lines, without a hole: only the entries of the slice
        // in hand, whose transaction the kill cut short, may have a line and no row.
        TestConnection reader(database, true);
        QCOMPARE(reader.column(QStringLiteral("pragma integrity_check")), QStringList{"ok"});
        const QStringList rows = reader.column(
            QStringLiteral("select hex(LogText) from KIVData order by ID limit -1 offset %1")
                .arg(checkedRows));
        QVERIFY2(
            rows.size() <= lines.size(),
            qPrintable(round +
                       QStringLiteral(": %1 lines, %2 rows").arg(lines.size()).arg(rows.size())));
        for (int i = 0; i < rows.size(); ++i)
            QVERIFY2(rows[i] == rowHex(lines[i]),
                     qPrintable(round + QStringLiteral(": row %1").arg(i)));
        checkedRows += int(rows.size());
        qInfo("%s: %d lines, %d rows", qPrintable(round), int(lines.size()), int(rows.size()));
    }

    // After the last crash the program starts and records as ever.
    QVERIFY(program.startListening());
    QVERIFY(sendDatagram(6177, "after the crashes\n"));
    QTRY_COMPARE(queryColumn(database, QStringLiteral("select count(*) from KIVData")),
                 QStringList{QString::number(checkedRows + 1)});
    QCOMPARE(program.terminate(), 0);
    QCOMPARE(queryColumn(database, QStringLiteral("pragma integrity_check")), QStringList{"ok"});
}

QTEST_GUILESS_MAIN(tst_Crash)
#include "tst_crash.moc"
