#include "TestSupport.h"

#include <QTest>

// The real window on an X server: it must ask the window manager to keep it above others, and
// carry its icon and the class its menu entry is found by.
class tst_OnTop : public QObject
{
    Q_OBJECT

private slots:
    void windowStaysOnTopWithItsIcon();
};

void tst_OnTop::windowStaysOnTopWithItsIcon()
{
    QVERIFY2(!qEnvironmentVariableIsEmpty("DISPLAY"), "needs an X display (run under xvfb-run)");
    ProgramUnderTest program;
    QVERIFY(program.startListening({QStringLiteral("QT_QPA_PLATFORM=xcb")}));

    QByteArray state;
    const bool found = QTest::qWaitFor(
        [&] {
            QProcess xprop;
            xprop.start(QStringLiteral("xprop"),
                        {QStringLiteral("-name"), QStringLiteral("KIVLogging"),
                         QStringLiteral("_NET_WM_STATE"), QStringLiteral("_NET_WM_ICON"),
                         QStringLiteral("WM_CLASS")});
            xprop.waitForFinished(5000);
            state = xprop.readAllStandardOutput();
            return state.contains("_NET_WM_STATE_ABOVE");
        },
        10000);
    QVERIFY2(found, state);
    QVERIFY2(state.contains("_NET_WM_ICON(CARDINAL) = ") && state.contains("Icon (64 x 64)"),
             state);
    QVERIFY2(state.contains("WM_CLASS(STRING) = \"kivlogging\""), state);
    QCOMPARE(program.terminate(), 0);
}

QTEST_GUILESS_MAIN(tst_OnTop)
#include "tst_ontop.moc"
