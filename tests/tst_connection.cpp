// Start-up, detection, failure, Retry, a lost link and close, through the real serial stack: the
// window's serial port opens a pseudo-terminal whose far end is the virtual instrument.

#include "link/linktiming.h"
#include "tests/processprobe.h"
#include "tests/testsupport.h"

#include <QComboBox>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTest>

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

const QByteArray kGreeting = bytes({0, 0, 0, 0, 64, 0, 0, 0});
const QByteArray kStop = bytes({128, 0, 0, 0});

} // namespace

Q_DECLARE_METATYPE(VirtualInstrument::AckBehaviour)

class TestConnection : public QObject
{
    Q_OBJECT
private slots:
    void startUpGreetsWithSyncThenHello();
    void acknowledgementEnablesControlsAndStartsFrames();
    void anythingButALoneTimelyAckLeavesTheLinkSilentAndRetryStopsAndGreetsAgain_data();
    void anythingButALoneTimelyAckLeavesTheLinkSilentAndRetryStopsAndGreetsAgain();
    void retryGreetsOnceTheLineIsQuietForAFrameAndAMarginOrASecondAfterItsStop();
    void missingPortTakesTheFailurePath();
    void somethingThatIsNoSerialPortSaysSo_data();
    void somethingThatIsNoSerialPortSaysSo();
    void failedRetriesKeepOneSuffix();
    void retryConnectsOnceTheDeviceIsThere();
    void retryUsesThePortChosenInTheDialog();
    void lostLinkDisablesTheControlsAndRetryTellsTheInstrumentWhatTheyShow();
    void silentRedetectionOffersRetry();
    void closingWhileARetryWaitsAfterItsStopConnectsNothing();
    void closeSendsStopOnceWhenTheLinkIsUp_data();
    void closeSendsStopOnceWhenTheLinkIsUp();
    void closeSendsNothingWhenTheLinkIsDown();
};

void TestConnection::startUpGreetsWithSyncThenHello()
{
    test::Rig rig(5, true, Ack::never());
    rig.start();
    QCOMPARE(rig.status(), QStringLiteral("COM5"));
    QVERIFY(rig.instrument.waitForReceived(8, 3s));
    QCOMPARE(rig.instrument.received(), kGreeting);
    // The selection of "40µs" at start-up sends nothing, now or later.
    QTRY_VERIFY_WITH_TIMEOUT(!rig.detectionTimer()->isActive(), 5000);
    QCOMPARE(rig.instrument.receivedCount(), 8);
    QVERIFY(rig.messages.texts.isEmpty());
}

void TestConnection::acknowledgementEnablesControlsAndStartsFrames()
{
    test::Rig rig(5);
    rig.start();
    QVERIFY(!rig.controlsEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(rig.controlsEnabled(), 5000);
    QVERIFY(!rig.detectionTimer()->isActive());
    QVERIFY(rig.sendAndJudge(QByteArray(FRAME_RX_THRESHOLD, char(127))));
    QCOMPARE(rig.lamp("shpMiddle"), test::kLampGreen);
    QVERIFY(rig.messages.texts.isEmpty());
}

void TestConnection::anythingButALoneTimelyAckLeavesTheLinkSilentAndRetryStopsAndGreetsAgain_data()
{
    QTest::addColumn<Ack>("ack");
    QTest::addColumn<bool>("streaming"); // since an earlier run, until it is told to stop
    QTest::newRow("no answer") << Ack::never() << false;
    QTest::newRow("answer and one more byte")
        << Ack::followedBy(QByteArray(1, char(0x55))) << false;
    QTest::newRow("answer twice") << Ack::followedBy(QByteArray(1, char(172))) << false;
    QTest::newRow("answer after the check") << Ack::after(1800ms) << false;
    QTest::newRow("still streaming") << Ack::immediate() << true;
}

void TestConnection::anythingButALoneTimelyAckLeavesTheLinkSilentAndRetryStopsAndGreetsAgain()
{
    QFETCH(Ack, ack);
    QFETCH(bool, streaming);
    test::Rig rig(7, true, ack);
    if (streaming) {
        rig.instrument.setStreamOnRun(true);
        rig.instrument.startStreaming();
    }
    rig.start();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.detectionTimer()->isActive(), 5000);
    if (ack.delay > 0ms)
        QTRY_COMPARE_WITH_TIMEOUT(rig.instrument.acksSent(), 1, 5000);
    // Silent: said in the status, Retry and Port offered, no box.
    QVERIFY(!rig.controlsEnabled());
    QCOMPARE(rig.status(), QStringLiteral("COM7 ... Device not found!"));
    QVERIFY(rig.retryOffered());
    QVERIFY(rig.messages.texts.isEmpty());
    // No frames are received, yet the port is open: a timebase chosen is sent.
    QVERIFY(rig.instrument.sendRaw(QByteArray(2 * FRAME_RX_THRESHOLD, char(127))));
    rig.widget<QComboBox>("cmbHorizontal")->setCurrentIndex(3);
    emit rig.widget<QComboBox>("cmbHorizontal")->activated(3);
    QVERIFY(rig.instrument.waitForReceived(12, 3s));
    QCOMPARE(rig.instrument.received().mid(8), bytes({131, 0, 0, 3}));
    QVERIFY(rig.judged.empty());

    // The instrument is put right; one Retry stops it and greets it again.
    rig.instrument.setAckBehaviour(Ack::immediate());
    rig.widget<QPushButton>("cmdRetry")->click();
    QVERIFY(!rig.retryOffered());
    QVERIFY(!rig.controlsEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(rig.controlsEnabled(), 5000);
    QCOMPARE(rig.instrument.received(), kGreeting + bytes({131, 0, 0, 3}) + kStop + kGreeting);
    QCOMPARE(rig.status(), QStringLiteral("COM7"));
    QVERIFY(!rig.retryOffered());
    // The controls work: RUN/STOP starts the instrument and frames are judged.
    rig.widget<QPushButton>("cmdRun")->click();
    QVERIFY(rig.instrument.waitForReceived(28, 3s));
    QCOMPARE(rig.instrument.received().mid(24), bytes({128, 0, 0, 1}));
    QVERIFY(rig.sendAndJudge(QByteArray(FRAME_RX_THRESHOLD, char(127))));
    QVERIFY2(rig.firstMismatch.isEmpty(), qPrintable(rig.firstMismatch));
    QVERIFY(rig.messages.texts.isEmpty());
}

void TestConnection::retryGreetsOnceTheLineIsQuietForAFrameAndAMarginOrASecondAfterItsStop()
{
    using linktiming::quietLongEnough;
    const linktiming::QuietClock::time_point stop; // bytes last read at the second argument
    QVERIFY(!quietLongEnough(stop, stop, stop + 249ms, frameTime(8))); // 20ms: 200 ms + 50
    QVERIFY(quietLongEnough(stop, stop, stop + 250ms, frameTime(8)));
    QVERIFY(!quietLongEnough(stop, stop + 10ms, stop + 60ms, frameTime(0))); // 40us: 0.4 ms + 50
    QVERIFY(quietLongEnough(stop, stop + 999ms, stop + 1000ms, frameTime(8)));
}

void TestConnection::missingPortTakesTheFailurePath()
{
    test::Rig rig(9, false);
    // The box is shown while the status still names the port alone.
    QString statusDuringTheBox;
    rig.window->setMessageBox([&](QWidget*, const QString& title, const QString& text) {
        statusDuringTheBox = rig.status();
        rig.messages.titles << title;
        rig.messages.texts << text;
    });
    rig.start();
    QCOMPARE(rig.messages.titles, QStringList{"Communication Error!"});
    QCOMPARE(statusDuringTheBox, QStringLiteral("COM9"));
    const QString text = rig.messages.texts.value(0);
    QVERIFY2(text.startsWith("COM9 (") && text.contains("No such file or directory"),
             qPrintable(text));
    QCOMPARE(rig.status(), QStringLiteral("COM9 ... Device not found!"));
    QVERIFY(rig.retryOffered());
    QVERIFY(!rig.controlsEnabled());
    // The detection check still ticks once, finds the link down and stops.
    QTRY_VERIFY_WITH_TIMEOUT(!rig.detectionTimer()->isActive(), 5000);
    QCOMPARE(rig.messages.texts.size(), 1);
}

void TestConnection::somethingThatIsNoSerialPortSaysSo_data()
{
    // Where COM4 leads, in the start-up directory unless absolute.
    QTest::addColumn<QString>("target");
    QTest::newRow("a character device") << "/dev/zero";
    QTest::newRow("a regular file") << "Lumatrax.cfg";
    QTest::newRow("a directory") << "device";
}

void TestConnection::somethingThatIsNoSerialPortSaysSo()
{
    QFETCH(QString, target);
    test::Rig rig(4, false);
    const QDir start(rig.dir.path());
    start.mkdir("device");
    target = start.absoluteFilePath(target);
    QVERIFY(QFile::remove(start.filePath("COM4")));
    QVERIFY(QFile::link(target, start.filePath("COM4")));
    rig.start();
    QCOMPARE(rig.messages.texts.size(), 1);
    const QString text = rig.messages.texts[0];
    QVERIFY2(text.startsWith(QStringLiteral("COM4 (%1): not a serial port (").arg(target)),
             qPrintable(text));
    QVERIFY(rig.retryOffered());
}

void TestConnection::failedRetriesKeepOneSuffix()
{
    test::Rig rig(9, false);
    rig.start();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.detectionTimer()->isActive(), 5000);
    for (int retry = 0; retry < 3; ++retry)
        rig.widget<QPushButton>("cmdRetry")->click();
    QCOMPARE(rig.messages.texts.size(), 4);
    QCOMPARE(rig.status(), QStringLiteral("COM9 ... Device not found!"));
    QVERIFY(rig.retryOffered());
    QVERIFY(!rig.detectionTimer()->isActive()); // a failed Retry does not rearm the check
}

void TestConnection::retryConnectsOnceTheDeviceIsThere()
{
    test::Rig rig(9, false);
    rig.start();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.detectionTimer()->isActive(), 5000);
    // The operator plugs the instrument in, and COM9 leads to it instead.
    QVERIFY(rig.instrument.open());
    QVERIFY(QFile::remove(QDir(rig.dir.path()).filePath(QStringLiteral("COM9"))));
    QVERIFY(rig.instrument.placeLink(rig.dir.path(), 9));
    rig.widget<QPushButton>("cmdRetry")->click();
    QCOMPARE(rig.status(), QStringLiteral("COM9"));
    QVERIFY(!rig.retryOffered());
    QVERIFY(rig.detectionTimer()->isActive());
    // Nothing works before the instrument has answered.
    QVERIFY(!rig.controlsEnabled());
    QTRY_VERIFY_WITH_TIMEOUT(rig.controlsEnabled(), 5000);
    QCOMPARE(rig.instrument.received(), kGreeting);
    QCOMPARE(rig.messages.texts.size(), 1);
}

void TestConnection::retryUsesThePortChosenInTheDialog()
{
    test::Rig rig(9, false);
    QVERIFY(rig.instrument.open());
    QVERIFY(rig.instrument.placeLink(rig.dir.path(), 11));
    rig.start();
    rig.window->setPortChooser([](QWidget*, std::int16_t) { return std::int16_t(11); });
    rig.widget<QPushButton>("cmdPort")->click();
    QCOMPARE(rig.dir.readConfig(), QByteArray("11\r\n"));
    QCOMPARE(rig.status(), QStringLiteral("COM9 ... Device not found!")); // until the Retry
    rig.widget<QPushButton>("cmdRetry")->click();
    QCOMPARE(rig.status(), QStringLiteral("COM11"));
    QTRY_VERIFY_WITH_TIMEOUT(rig.controlsEnabled(), 5000);
    QCOMPARE(rig.messages.texts.size(), 1);
}

void TestConnection::lostLinkDisablesTheControlsAndRetryTellsTheInstrumentWhatTheyShow()
{
    test::Rig rig(5);
    QVERIFY(rig.startDetected());
    // The operator sets the instrument up and starts it.
    rig.widget<QComboBox>("cmbHorizontal")->setCurrentIndex(6);
    emit rig.widget<QComboBox>("cmbHorizontal")->activated(6);
    rig.widget<QRadioButton>("optFalling")->click();
    rig.widget<QSlider>("SliderTriggerLevel")->setValue(10);
    rig.widget<QPushButton>("cmdRun")->click();
    QCOMPARE(rig.lamp("shpStatus"), test::kLampGreen);
    rig.instrument.startStreaming();
    QTRY_VERIFY_WITH_TIMEOUT(rig.judged.size() > 5, 5000);

    rig.instrument.pullPlug();
    QTRY_COMPARE_WITH_TIMEOUT(rig.messages.texts.size(), 1, 5000);
    QCOMPARE(rig.messages.titles, QStringList{"Communication Error!"});
    const QString text = rig.messages.texts[0];
    QVERIFY2(text.startsWith("COM5 (") &&
                 text.contains("): The connection to the device was lost ("),
             qPrintable(text));
    QCOMPARE(rig.status(), QStringLiteral("COM5 ... Device not found!"));
    QVERIFY(rig.retryOffered());
    // Nothing reaches the instrument now: the controls say so, and RUN/STOP cannot light up.
    QVERIFY(!rig.controlsEnabled());
    QCOMPARE(rig.lamp("shpStatus"), test::kLampRed);
    QTest::mouseClick(rig.widget<QPushButton>("cmdRun"), Qt::LeftButton);
    QCOMPARE(rig.lamp("shpStatus"), test::kLampRed);

    // Waiting for the operator costs next to nothing, and says nothing more.
    const auto cpu = test::cpuTimeOver(500ms);
    QVERIFY2(cpu < 125ms, qPrintable(QString::number(cpu.count())));
    QCOMPARE(rig.messages.texts.size(), 1);

    // The adapter comes back, perhaps with an instrument that was switched off meanwhile.
    QVERIFY(rig.instrument.replug());
    rig.instrument.clearRecords();
    rig.widget<QPushButton>("cmdRetry")->click();
    QCOMPARE(rig.status(), QStringLiteral("COM5"));
    QVERIFY(!rig.controlsEnabled()); // not before the instrument has answered
    QTRY_VERIFY_WITH_TIMEOUT(rig.controlsEnabled(), 5000);
    QCOMPARE(rig.lamp("shpStatus"), test::kLampRed);
    // Frames flow again.
    const std::size_t before = rig.judged.size();
    rig.instrument.startStreaming();
    QTRY_VERIFY_WITH_TIMEOUT(rig.judged.size() > before + 3, 5000);
    QCOMPARE(rig.messages.texts.size(), 1);
    // The greeting, then what the controls show and stop, once each, and no start: closing
    // sends the last stop, after everything else.
    rig.window->close();
    QVERIFY(rig.instrument.waitForCommands(7, 3s));
    QCOMPARE(rig.instrument.received(),
             kGreeting + bytes({131, 0, 0, 6, 130, 0, 0, 1, 129, 0, 3, 32}) + kStop + kStop);
}

void TestConnection::silentRedetectionOffersRetry()
{
    test::Rig rig(5);
    QVERIFY(rig.startDetected());
    rig.instrument.pullPlug();
    QTRY_COMPARE_WITH_TIMEOUT(rig.messages.texts.size(), 1, 5000);
    // Back, but it no longer answers the greeting.
    rig.instrument.setAckBehaviour(Ack::never());
    QVERIFY(rig.instrument.replug());
    rig.widget<QPushButton>("cmdRetry")->click();
    QVERIFY(rig.detectionTimer()->isActive());
    QTRY_VERIFY_WITH_TIMEOUT(!rig.detectionTimer()->isActive(), 5000);
    QVERIFY(!rig.controlsEnabled());
    QVERIFY(rig.retryOffered());
    QCOMPARE(rig.status(), QStringLiteral("COM5 ... Device not found!"));
    QCOMPARE(rig.messages.texts.size(), 1);
}

void TestConnection::closingWhileARetryWaitsAfterItsStopConnectsNothing()
{
    test::Rig rig(5, true, Ack::never());
    rig.start();
    QTRY_VERIFY_WITH_TIMEOUT(rig.retryOffered(), 5000);
    rig.widget<QPushButton>("cmdRetry")->click();
    rig.window->close();
    QVERIFY(rig.instrument.waitForReceived(12, 3s));
    // The Retry's stop, and no greeting after it, however long the window stays.
    QVERIFY(!rig.widget<QTimer>("tmrQuiet")->isActive());
    QCOMPARE(rig.instrument.received(), kGreeting + kStop);
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
    rig.start();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.detectionTimer()->isActive(), 5000);
    rig.widget<QPushButton>("cmdClose")->click();
    QVERIFY(!rig.window->isVisible());
    rig.window.reset(); // the window and its port go away
    QVERIFY(rig.instrument.waitForReceived(12, 3s));
    QCOMPARE(rig.instrument.received(), kGreeting + kStop);
}

void TestConnection::closeSendsNothingWhenTheLinkIsDown()
{
    // The instrument sits on COM5 while the configuration names the missing COM9.
    test::Rig rig(9, false);
    QVERIFY(rig.instrument.open());
    QVERIFY(rig.instrument.placeLink(rig.dir.path(), 5));
    rig.start();
    rig.window->close();
    rig.window.reset();
    QCOMPARE(rig.instrument.receivedCount(), 0);
}

QTEST_MAIN(TestConnection)
#include "tst_connection.moc"
