#include "TestSupport.h"

#include "DatabaseLog.h"
#include "TextEncoding.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcessEnvironment>
#include <QSqlDatabase>
#include <QSqlError>
#include <QSqlQuery>
#include <QTest>
#include <QThread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

void sendDatagram(quint16 port, const QByteArray &payload, bool ipv6)
{
    const int fd = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    QVERIFY2(fd >= 0, "socket");
    ssize_t sent;
    if (ipv6) {
        sockaddr_in6 to{};
        to.sin6_family = AF_INET6;
        to.sin6_addr = in6addr_loopback;
        to.sin6_port = htons(port);
        sent = ::sendto(fd, payload.constData(), size_t(payload.size()), 0,
                        reinterpret_cast<sockaddr *>(&to), sizeof to);
    } else {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(port);
        sent = ::sendto(fd, payload.constData(), size_t(payload.size()), 0,
                        reinterpret_cast<sockaddr *>(&to), sizeof to);
    }
    ::close(fd);
    QCOMPARE(sent, ssize_t(payload.size()));
}

bool udpPortBound(quint16 port)
{
    const QByteArray local =
        ':' + QByteArray::number(port, 16).toUpper().rightJustified(4, '0') + ' ';
    for (const char *table : {"/proc/net/udp", "/proc/net/udp6"}) {
        QFile file(QString::fromLatin1(table));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (const QByteArray &line : lines) {
            const QList<QByteArray> fields = line.simplified().split(' ');
            if (fields.size() > 1 && (fields[1] + ' ').endsWith(local))
                return true;
        }
    }
    return false;
}

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

int openDescriptors()
{
    return int(QDir(QStringLiteral("/proc/self/fd"))
                   .entryList(QDir::NoDotAndDotDot | QDir::AllEntries)
                   .size());
}

TestConnection::TestConnection(const QString &path, bool readOnly)
{
    static int counter = 0;
    m_name = QStringLiteral("test-%1").arg(counter++);
    QSqlDatabase database = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), m_name);
    database.setDatabaseName(path);
    database.setConnectOptions(QStringLiteral("QSQLITE_BUSY_TIMEOUT=10000") +
                               (readOnly ? QStringLiteral(";QSQLITE_OPEN_READONLY") : QString()));
    if (!database.open())
        qWarning() << "cannot open" << path << database.lastError().text();
}

TestConnection::~TestConnection()
{
    QSqlDatabase::database(m_name, false).close();
    QSqlDatabase::removeDatabase(m_name);
}

bool TestConnection::exec(const QString &sql)
{
    QSqlQuery query(QSqlDatabase::database(m_name, false));
    if (query.exec(sql))
        return true;
    qWarning() << sql << query.lastError().text();
    return false;
}

QStringList TestConnection::column(const QString &sql)
{
    QSqlQuery query(QSqlDatabase::database(m_name, false));
    QStringList values;
    if (!query.exec(sql))
        qWarning() << sql << query.lastError().text();
    while (query.next())
        values.append(query.value(0).toString());
    return values;
}

void createLogDatabase(const QString &path, const QString &createStatement)
{
    TestConnection connection(path);
    QVERIFY(connection.exec(createStatement.isEmpty() ? DatabaseLog::createTableStatement()
                                                      : createStatement));
}

void prepareDatabaseFile(const QString &path,
                         const QByteArray &content,
                         const QString &createStatement)
{
    if (!content.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(content), content.size());
    } else if (!createStatement.isEmpty()) {
        createLogDatabase(path, createStatement);
    }
}

QStringList queryColumn(const QString &databasePath, const QString &sql)
{
    return TestConnection(databasePath).column(sql);
}

QByteArray printableAndHighBytes()
{
    QByteArray bytes;
    for (int b = 0x20; b <= 0xFF; ++b)
        bytes.append(char(b));
    return bytes;
}

quint32 testSeed()
{
    return qEnvironmentVariableIsSet("KIV_TEST_SEED")
               ? quint32(qEnvironmentVariableIntValue("KIV_TEST_SEED"))
               : 6177;
}

QByteArray entryOf(const QByteArray &datagram)
{
    return datagram.isEmpty() ? datagram : datagram.chopped(1);
}

QString rowHex(QByteArrayView entry)
{
    return QString::fromLatin1(decodeText(entry).text.toUtf8().toHex().toUpper());
}

qsizetype afterTimestamp(QByteArrayView log, qsizetype pos)
{
    // "M/d/yyyy h:mm:ss AM: ", month, day and hour with one or two digits.
    const auto digits = [&](int least, int most) {
        int count = 0;
        while (count < most && pos < log.size() && log[pos] >= '0' && log[pos] <= '9') {
            ++pos;
            ++count;
        }
        return count >= least;
    };
    const auto literal = [&](const char *text) {
        if (!log.sliced(pos).startsWith(QByteArrayView(text)))
            return false;
        pos += qsizetype(qstrlen(text));
        return true;
    };
    const bool matched = digits(1, 2) && literal("/") && digits(1, 2) && literal("/") &&
                         digits(4, 4) && literal(" ") && digits(1, 2) && literal(":") &&
                         digits(2, 2) && literal(":") && digits(2, 2) &&
                         (literal(" AM: ") || literal(" PM: "));
    return matched ? pos : -1;
}

bool takeLine(QByteArrayView log, qsizetype &pos, QByteArrayView entry)
{
    const qsizetype text = afterTimestamp(log, pos);
    if (text < 0 || !log.sliced(text).startsWith(entry) ||
        !log.sliced(text + entry.size()).startsWith("\r\n")) {
        return false;
    }
    pos = text + entry.size() + 2;
    return true;
}

ProgramUnderTest::ProgramUnderTest(bool withDatabase)
    : m_copyDirectory(std::in_place)
    , m_directory(m_copyDirectory->path())
{
    const QString copy = file(QStringLiteral("kivlogging"));
    QFile::copy(QStringLiteral(KIV_EXECUTABLE), copy);
    if (withDatabase)
        createLogDatabase(file(QStringLiteral("Log.mdb")));
    m_process.setProgram(copy);
    m_process.setWorkingDirectory(QDir::rootPath());
}

ProgramUnderTest::ProgramUnderTest(const QString &program)
    : m_directory(QFileInfo(program).canonicalPath())
{
    m_process.setProgram(program);
    m_process.setWorkingDirectory(QDir::rootPath());
}

ProgramUnderTest::~ProgramUnderTest()
{
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(5000);
    }
}

void ProgramUnderTest::setChildSetup(const std::function<void()> &setup)
{
    m_process.setChildProcessModifier(setup);
}

void ProgramUnderTest::start(const QStringList &environment)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    for (const QString &entry : environment) {
        if (entry.startsWith(QLatin1Char('-')))
            env.remove(entry.mid(1));
        else
            env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
    }
    m_process.setProcessEnvironment(env);
    m_process.start();
}

bool ProgramUnderTest::startListening(const QStringList &environment)
{
    start(environment);
    if (!m_process.waitForStarted(10000))
        return false;
    // The socket is bound before the window shows, and datagrams wait in it from then on.
    const QDeadlineTimer deadline(20000);
    while (!deadline.hasExpired()) {
        if (m_process.state() != QProcess::Running)
            return false;
        if (udpPortBound(6177))
            return true;
        m_process.waitForFinished(20);
    }
    return false;
}

int ProgramUnderTest::terminate()
{
    m_process.terminate();
    if (!m_process.waitForFinished(10000) || m_process.exitStatus() != QProcess::NormalExit)
        return -1;
    return m_process.exitCode();
}
