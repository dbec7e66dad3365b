// Start-up, detection, failure, Retry and close, through the real serial stack: the window's
// serial port opens a pseudo-terminal whose far end is the virtual instrument.

#include "display/lamp.h"
#include "link/commport.h"
#include "tests/testsupport.h"

#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <QTimer>

#include <sys/resource.h>

using namespace lumatrax;
using namespace std::chrono_literals;
using Ack = VirtualInstrument::AckBehaviour;

namespace {

QByteArray bytes(std::initializer_list<int> values)
{
    QByteArray b;
    for (int v : values)
        b.append(char(v));
    return b;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

bool detected(const MainWindow& w)
{
    return w.ui().Frame1->isEnabled() && w.ui().Frame2->isEnabled();
}

} // namespace

Q_DECLARE_METATYPE(VirtualInstrument::AckBehaviour)

class TestConnection : public QObject
{
    Q_OBJECT
private slots:
    void startUpGreetsWithSyncThenHello();
    void acknowledgementEnablesControlsAndArmsFrames();
    void anythingButALoneTimelyAckLeavesTheLinkSilent_data();
    void anythingButALoneTimelyAckLeavesTheLinkSilent();
    void missingPortTakesTheFailurePath();
    void failedRetriesKeepOneSuffix();
    void retryConnectsOnceTheDeviceIsThere();
    void retryUsesThePortChosenInTheDialog();
    void lostLinkTakesTheFailurePathOnceAndRetryReconnects();
    void closeSendsStopOnceWhenTheLinkIsUp_data();
    void closeSendsStopOnceWhenTheLinkIsUp();
    void closeSendsNothingWhenTheLinkIsDown();
};

void TestConnection::startUpGreetsWithSyncThenHello()
{
    test::Rig rig(5, true, Ack::never());
    rig.window->formLoad();
    QCOMPARE(rig.window->ui().lblMsg->text(), QStringLiteral("COM5"));
    QCOMPARE(rig.window->state().linkDown, kFalse);
    QVERIFY(rig.instrument.waitForReceived(8, 3s));
    QCOMPARE(rig.instrument.received(), bytes({0, 0, 0, 0, 64, 0, 0, 0}));
    // The selection of "40µs" at start-up sends nothing, now or later.
    QTRY_VERIFY_WITH_TIMEOUT(!rig.window->ui().tmrFirst->isActive(), 5000);
    QCOMPARE(rig.instrument.receivedCount(), 8);
    QVERIFY(rig.messages.texts.isEmpty());
}

void TestConnection::acknowledgementEnablesControlsAndArmsFrames()
{
    test::Rig rig(5);
    rig.window->formLoad();
    QVERIFY(!detected(*rig.window));
    QCOMPARE(rig.window->cm().rThreshold(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(detected(*rig.window), 5000);
    QCOMPARE(rig.window->cm().rThreshold(), 210);
    QVERIFY(!rig.window->ui().tmrFirst->isActive());

    VirtualInstrument::Frame level{};
    level.fill(127); // on both guides at mid-height: accepted
    rig.instrument.sendFrame(level);
    QTRY_COMPARE_WITH_TIMEOUT(rig.window->state().frameSeen, std::int16_t(1), 5000);
    QCOMPARE(rig.window->ui().shpMiddle->colour(), QColor(0, 255, 0));
    QCOMPARE(rig.window->ui().shpHigher->colour(), QColor(0, 0, 0));
    QVERIFY(rig.messages.texts.isEmpty());
}

void TestConnection::anythingButALoneTimelyAckLeavesTheLinkSilent_data()
{
    QTest::addColumn<Ack>("ack");
    QTest::newRow("no answer") << Ack::never();
    QTest::newRow("answer and one more byte") << Ack::followedBy(QByteArray(1, char(0x55)));
    QTest::newRow("answer twice") << Ack::followedBy(QByteArray(1, char(172)));
    QTest::newRow("answer after the check") << Ack::after(1800ms);
}

void TestConnection::anythingButALoneTimelyAckLeavesTheLinkSilent()
{
    QFETCH(Ack, ack);
    test::Rig rig(7, true, ack);
    rig.window->formLoad();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.window->ui().tmrFirst->isActive(), 5000);
    if (ack.delay > 0ms)
        QTRY_COMPARE_WITH_TIMEOUT(rig.instrument.acksSent(), 1, 5000);
    QVERIFY(!detected(*rig.window));
    QCOMPARE(rig.window->cm().rThreshold(), 0);
    QCOMPARE(rig.window->ui().lblMsg->text(), QStringLiteral("COM7"));
    QVERIFY(rig.window->ui().Frame3->isHidden());
    QCOMPARE(rig.window->state().linkDown, kFalse);
    QVERIFY(rig.messages.texts.isEmpty());
}

void TestConnection::missingPortTakesTheFailurePath()
{
    test::Rig rig(9, false);
    rig.window->formLoad();
    QCOMPARE(rig.messages.titles, QStringList{"Communication Error!"});
    const QString text = rig.messages.texts.value(0);
    QVERIFY2(text.startsWith("COM9 (") && text.contains("No such file or directory"),
             qPrintable(text));
    QCOMPARE(rig.window->ui().lblMsg->text(), QStringLiteral("COM9 ... Device not found!"));
    QVERIFY(!rig.window->ui().Frame3->isHidden());
    QVERIFY(!detected(*rig.window));
    QCOMPARE(rig.window->state().linkDown, kTrue);
    // The detection check still ticks once, finds the link down and stops.
    QTRY_VERIFY_WITH_TIMEOUT(!rig.window->ui().tmrFirst->isActive(), 5000);
    QCOMPARE(rig.messages.texts.size(), 1);
}

void TestConnection::failedRetriesKeepOneSuffix()
{
    test::Rig rig(9, false);
    rig.window->formLoad();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.window->ui().tmrFirst->isActive(), 5000);
    for (int retry = 0; retry < 3; ++retry)
        rig.window->ui().cmdRetry->click();
    QCOMPARE(rig.messages.texts.size(), 4);
    QCOMPARE(rig.window->ui().lblMsg->text(), QStringLiteral("COM9 ... Device not found!"));
    QVERIFY(!rig.window->ui().Frame3->isHidden());
    QVERIFY(!rig.window->ui().tmrFirst->isActive()); // a failed Retry does not rearm the check
    QCOMPARE(rig.window->state().linkDown, kTrue);
}

void TestConnection::retryConnectsOnceTheDeviceIsThere()
{
    test::Rig rig(9, false);
    rig.window->formLoad();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.window->ui().tmrFirst->isActive(), 5000);
    // The operator plugs the instrument in.
    QVERIFY(rig.instrument.open());
    QVERIFY(rig.instrument.placeLink(rig.dir.path(), 9));
    rig.window->ui().cmdRetry->click();
    QCOMPARE(rig.window->ui().lblMsg->text(), QStringLiteral("COM9"));
    QVERIFY(rig.window->ui().Frame3->isHidden());
    QVERIFY(rig.window->ui().tmrFirst->isActive());
    QTRY_VERIFY_WITH_TIMEOUT(detected(*rig.window), 5000);
    QCOMPARE(rig.instrument.received(), bytes({0, 0, 0, 0, 64, 0, 0, 0}));
    QCOMPARE(rig.messages.texts.size(), 1);
}

void TestConnection::retryUsesThePortChosenInTheDialog()
{
    test::Rig rig(9, false);
    QVERIFY(rig.instrument.open());
    QVERIFY(rig.instrument.placeLink(rig.dir.path(), 11));
    rig.window->formLoad();
    rig.window->setPortChooser([](QWidget*, std::int16_t) { return std::int16_t(11); });
    rig.window->ui().cmdPort->click();
    QCOMPARE(rig.dir.readConfig(), QByteArray("11\r\n"));
    rig.window->ui().cmdRetry->click();
    QCOMPARE(rig.window->ui().lblMsg->text(), QStringLiteral("COM11"));
    QTRY_VERIFY_WITH_TIMEOUT(detected(*rig.window), 5000);
    QCOMPARE(rig.messages.texts.size(), 1);
}

void TestConnection::lostLinkTakesTheFailurePathOnceAndRetryReconnects()
{
    test::Rig rig(5);
    rig.window->formLoad();
    QTRY_VERIFY_WITH_TIMEOUT(detected(*rig.window), 5000);
    rig.instrument.startStreaming();
    QTRY_VERIFY_WITH_TIMEOUT(rig.window->state().frameSeen > 5, 5000);

    rig.instrument.pullPlug();
    QTRY_COMPARE_WITH_TIMEOUT(rig.messages.texts.size(), 1, 5000);
    QCOMPARE(rig.messages.titles, QStringList{"Communication Error!"});
    QVERIFY2(rig.messages.texts[0].startsWith("COM5 ("), qPrintable(rig.messages.texts[0]));
    QCOMPARE(rig.window->ui().lblMsg->text(), QStringLiteral("COM5 ... Device not found!"));
    QVERIFY(!rig.window->ui().Frame3->isHidden());
    QCOMPARE(rig.window->state().linkDown, kTrue);
    QVERIFY(!rig.window->cm().portOpen());

    // Afterwards the program is idle: no further message, and the CPU does not spin.
    const double cpuBefore = cpuSeconds();
    QTest::qWait(500);
    QVERIFY2(cpuSeconds() - cpuBefore < 0.25, "the event loop keeps working after the loss");
    QCOMPARE(rig.messages.texts.size(), 1);

    // The adapter comes back; Retry reconnects and frames flow again.
    QVERIFY(rig.instrument.replug());
    rig.window->ui().cmdRetry->click();
    QCOMPARE(rig.messages.texts.size(), 1);
    QCOMPARE(rig.window->ui().lblMsg->text(), QStringLiteral("COM5"));
    QTRY_COMPARE_WITH_TIMEOUT(rig.window->cm().rThreshold(), 210, 5000);
    const std::int16_t before = rig.window->state().frameSeen;
    rig.instrument.startStreaming();
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.window->state().frameSeen > before + 3 || rig.window->state().frameSeen < before, 5000);
    QCOMPARE(rig.messages.texts.size(), 1);
}

void TestConnection::closeSendsStopOnceWhenTheLinkIsUp_data()
{
    QTest::addColumn<Ack>("ack");
    QTest::newRow("instrument answered") << Ack::immediate();
    QTest::newRow("nothing answers") << Ack::never();
}

void TestConnection::closeSendsStopOnceWhenTheLinkIsUp()
{
    QFETCH(Ack, ack);
    test::Rig rig(5, true, ack);
    rig.window->formLoad();
    rig.window->show();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.window->ui().tmrFirst->isActive(), 5000);
    rig.window->ui().cmdClose->click();
    QVERIFY(!rig.window->isVisible());
    rig.window.reset(); // the window and its port go away
    QVERIFY(rig.instrument.waitForReceived(12, 3s));
    QCOMPARE(rig.instrument.received(), bytes({0, 0, 0, 0, 64, 0, 0, 0, 128, 0, 0, 0}));
}

void TestConnection::closeSendsNothingWhenTheLinkIsDown()
{
    // The instrument sits on COM5 while the configuration names the missing COM9.
    test::Rig rig(9, false);
    QVERIFY(rig.instrument.open());
    QVERIFY(rig.instrument.placeLink(rig.dir.path(), 5));
    rig.window->formLoad();
    rig.window->close();
    rig.window.reset();
    QCOMPARE(rig.instrument.receivedCount(), 0);
}

QTEST_MAIN(TestConnection)
#include "tst_connection.moc"
