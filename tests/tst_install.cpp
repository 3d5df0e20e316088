#include "TestSupport.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTest>

// `make install` and `make uninstall` into a temporary home or prefix, and the installed copy
// run headless as its service would run it, on UDP 6177.
class tst_Install : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void installsRunsAndUninstallsKeepingTheRecords_data();
    void installsRunsAndUninstallsKeepingTheRecords();
    void serviceOrWindowAtLoginNotBoth();

private:
    static QStringList makeArguments(const QString &target, const QStringList &variables = {});
    // Runs `make target` on the project with `variables`; true when it succeeds. Its output
    // goes to the test log when it fails.
    bool make(const QString &target, const QStringList &variables = {});
    // Runs `program` in the temporary session; its exit code, -1 when it did not run.
    int run(const QString &program, const QStringList &arguments, QByteArray *output = nullptr);
    QString home() const { return m_home->path(); }

    // The session of a user of the test's own: its home and its runtime folder.
    std::unique_ptr<QTemporaryDir> m_home;
    std::unique_ptr<QTemporaryDir> m_runtime;
};

namespace {

// The value of `key` in a key=value file such as a desktop entry or a unit.
QString valueOf(const QString &path, const QString &key)
{
    const QRegularExpression line(QLatin1Char('^') + QRegularExpression::escape(key) +
                                      QStringLiteral("=(.*)$"),
                                  QRegularExpression::MultilineOption);
    return line.match(QString::fromUtf8(readFile(path))).captured(1);
}

bool existsOrDangles(const QString &path)
{
    return QFileInfo(path).exists() || QFileInfo(path).isSymLink();
}

} // namespace

void tst_Install::init()
{
    QVERIFY2(!udpPortBound(6177), portTaken(6177).constData());
    m_home = std::make_unique<QTemporaryDir>();
    m_runtime = std::make_unique<QTemporaryDir>();
}

int tst_Install::run(const QString &program, const QStringList &arguments, QByteArray *output)
{
    QProcess process;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), home());
    // systemd's tools want a runtime folder even for work on unit files alone.
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_runtime->path());
    // Whatever the developer's environment says about where things go stays out of the test,
    // as does the job server of a `make test` this runs under.
    for (const char *name : {"PREFIX", "UNIT_DIR", "AUTOSTART", "XDG_CONFIG_HOME", "XDG_DATA_HOME",
                             "MAKEFLAGS", "MFLAGS", "MAKELEVEL"})
        environment.remove(QString::fromLatin1(name));
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForFinished(240000) || process.exitStatus() != QProcess::NormalExit)
        return -1;
    if (output)
        *output = process.readAll();
    return process.exitCode();
}

QStringList tst_Install::makeArguments(const QString &target, const QStringList &variables)
{
    return QStringList{QStringLiteral("-C"), QStringLiteral(KIV_SOURCE_DIR), target,
                       QStringLiteral("BUILD_DIR=" KIV_BINARY_DIR)} +
           variables;
}

bool tst_Install::make(const QString &target, const QStringList &variables)
{
    QByteArray output;
    const int code = run(QStringLiteral("make"), makeArguments(target, variables), &output);
    if (code != 0)
        qWarning().noquote() << "make" << target << "failed:\n" << output;
    return code == 0;
}

void tst_Install::installsRunsAndUninstallsKeepingTheRecords_data()
{
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<QString>("unitDirectory");
    QTest::newRow("default: ~/.local, unit in ~/.config")
        << QStringLiteral(".local") << QStringLiteral(".config/systemd/user");
    QTest::newRow("PREFIX given: everything below it")
        << QStringLiteral("opt/kiv") << QStringLiteral("opt/kiv/share/systemd/user");
}

void tst_Install::installsRunsAndUninstallsKeepingTheRecords()
{
    QFETCH(QString, prefix);
    QFETCH(QString, unitDirectory);
    // Canonical, as the program names its folder by its real path.
    const QDir root(QDir(home()).canonicalPath());
    const QString folder = root.filePath(prefix + QStringLiteral("/share/kivlogging"));
    const QString program = folder + QStringLiteral("/kivlogging");
    const QString database = folder + QStringLiteral("/Log.mdb");
    const QString log = folder + QStringLiteral("/mylog.txt");
    const QString launcher = root.filePath(prefix + QStringLiteral("/bin/kivlogging"));
    const QString entry =
        root.filePath(prefix + QStringLiteral("/share/applications/kivlogging.desktop"));
    const QString icon =
        root.filePath(prefix + QStringLiteral("/share/icons/hicolor/scalable/apps/kivlogging.svg"));
    const QString unit = root.filePath(unitDirectory + QStringLiteral("/kivlogging.service"));

    const QStringList variables =
        prefix == QLatin1String(".local")
            ? QStringList()
            : QStringList{QStringLiteral("PREFIX=") + root.filePath(prefix)};
    QVERIFY(make(QStringLiteral("install"), variables));

    // The built program, stripped of its symbols.
    QVERIFY(QFileInfo(program).isExecutable());
    QVERIFY(readFile(QStringLiteral(KIV_EXECUTABLE)).contains(".symtab"));
    QVERIFY(!readFile(program).contains(".symtab"));
    QCOMPARE(queryColumn(database, QStringLiteral("select count(*) from KIVData")),
             QStringList{"0"});
    QVERIFY(!QFileInfo::exists(log));
    QCOMPARE(QFileInfo(launcher).canonicalFilePath(), program);
    QCOMPARE(valueOf(entry, QStringLiteral("Name")), QStringLiteral("KIVLogging"));
    QCOMPARE(valueOf(entry, QStringLiteral("Exec")), program);
    QCOMPARE(valueOf(entry, QStringLiteral("Icon")), icon);
    QVERIFY(readFile(icon).contains("<svg"));
    QCOMPARE(valueOf(unit, QStringLiteral("ExecStart")), program);
    QCOMPARE(valueOf(unit, QStringLiteral("Environment")),
             QStringLiteral("QT_QPA_PLATFORM=offscreen"));

    QByteArray complaints;
    QCOMPARE(run(QStringLiteral("desktop-file-validate"), {entry}, &complaints), 0);
    QCOMPARE(complaints, QByteArray());
    QCOMPARE(run(QStringLiteral("systemd-analyze"),
                 {QStringLiteral("--user"), QStringLiteral("verify"), unit}, &complaints),
             0);
    QCOMPARE(complaints, QByteArray());

    {
        // Through the launcher, which the program follows to its own folder; no display, as
        // under the service.
        ProgramUnderTest installed(launcher);
        QCOMPARE(installed.directory(), folder);
        QVERIFY(installed.startListening({QStringLiteral("-DISPLAY"),
                                          QStringLiteral("-WAYLAND_DISPLAY"),
                                          valueOf(unit, QStringLiteral("Environment"))}));
        QVERIFY(sendDatagram(6177, "from the installed copy\n"));
        QTRY_COMPARE(queryColumn(database, QStringLiteral("select LogText from KIVData")),
                     QStringList{"from the installed copy"});
        QCOMPARE(logMismatch(readFile(log), {"from the installed copy"}), QString());
        QCOMPARE(installed.terminate(), 0);
    }
    const QByteArray logged = readFile(log);

    QVERIFY(make(QStringLiteral("uninstall"), variables));
    for (const QString &path : {program, launcher, entry, icon, unit})
        QVERIFY2(!existsOrDangles(path), qPrintable(path));
    const QString rows = QStringLiteral("select LogText from KIVData");
    QCOMPARE(readFile(log), logged);
    QCOMPARE(queryColumn(database, rows), QStringList{"from the installed copy"});
    // An install over the records kept leaves them as they are.
    QVERIFY(make(QStringLiteral("install"), variables));
    QCOMPARE(readFile(log), logged);
    QCOMPARE(queryColumn(database, rows), QStringList{"from the installed copy"});
}

// The autostart entry and the service would each start a copy, and the second fails at bind:
// the one refuses the other, and uninstall waits until the service is disabled.
void tst_Install::serviceOrWindowAtLoginNotBoth()
{
    const QString entry = home() + QStringLiteral("/.config/autostart/kivlogging.desktop");
    const QStringList autostart = {QStringLiteral("AUTOSTART=1")};
    QVERIFY(make(QStringLiteral("install"), autostart));
    QCOMPARE(valueOf(entry, QStringLiteral("Exec")),
             home() + QStringLiteral("/.local/bin/kivlogging"));
    QByteArray output;
    QCOMPARE(run(QStringLiteral("desktop-file-validate"), {entry}, &output), 0);
    QCOMPARE(output, QByteArray());
    QVERIFY(make(QStringLiteral("uninstall")));
    QVERIFY(!existsOrDangles(entry));

    QVERIFY(make(QStringLiteral("install")));
    const QString program = home() + QStringLiteral("/.local/share/kivlogging/kivlogging");
    // --root works on the unit files alone, without a running user manager.
    const QStringList systemctl = {QStringLiteral("--user"), QStringLiteral("--root=/")};
    QCOMPARE(run(QStringLiteral("systemctl"), systemctl + QStringList{"enable", "kivlogging"}), 0);
    QVERIFY(run(QStringLiteral("make"), makeArguments(QStringLiteral("install"), autostart),
                &output) > 0);
    QVERIFY2(output.contains("first run: systemctl --user disable --now kivlogging"), output);
    QVERIFY(!existsOrDangles(entry));

    QVERIFY(run(QStringLiteral("make"), makeArguments(QStringLiteral("uninstall")), &output) > 0);
    QVERIFY2(output.contains("first run: systemctl --user disable --now kivlogging"), output);
    QVERIFY(QFileInfo::exists(program));

    QCOMPARE(run(QStringLiteral("systemctl"), systemctl + QStringList{"disable", "kivlogging"}), 0);
    QVERIFY(make(QStringLiteral("uninstall")));
    QVERIFY(!QFileInfo::exists(program));
}

QTEST_GUILESS_MAIN(tst_Install)
#include "tst_install.moc"
