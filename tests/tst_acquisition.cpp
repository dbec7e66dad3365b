// The acquisition controls end to end: operator actions on the main window, through the real
// serial port component, to the bytes that the virtual instrument receives; the trigger marker
// and the run and activity lamps.
//
// A test learns that nothing more was sent by closing the window: its stop command 128,0,0,0 is
// the last write, so once it has arrived the instrument has seen every earlier one.

#include "app/mainwindow.h"
#include "display/lamp.h"
#include "display/lineobject.h"
#include "report/reportform.h"
#include "tests/testsupport.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QSlider>
#include <QStyle>
#include <QStyleOptionSlider>
#include <QTest>
#include <QTimer>

#include <atomic>
#include <memory>
#include <vector>

using namespace lumatrax;
using namespace std::chrono_literals;
using Ack = VirtualInstrument::AckBehaviour;

namespace {

constexpr int kTimeoutMs = 5000;
const QString kStop = QStringLiteral("128,0,0,0");
const QColor kGreenLamp(0, 255, 0);
const QColor kBlackLamp(0, 0, 0);

QString text(const Command& c)
{
    return QStringLiteral("%1,%2,%3,%4").arg(c[0]).arg(c[1]).arg(c[2]).arg(c[3]);
}

// Every command after the greeting SYNC_FRAME, CMD_HELLO.
QStringList settings(const VirtualInstrument& instrument)
{
    QStringList out;
    const std::vector<Command> all = instrument.commands();
    for (std::size_t i = 2; i < all.size(); ++i)
        out << text(all[i]);
    return out;
}

// A point on the groove above the thumb, where a click pages toward the minimum.
QPoint aboveTheThumb(QSlider* slider)
{
    return {test::sliderPart(slider, QStyle::SC_SliderGroove).center().x(), slider->height() / 8};
}

// Opens the combo's list and clicks an entry, as the operator does with the mouse.
void chooseFromList(QComboBox* combo, int index)
{
    combo->showPopup();
    QAbstractItemView* view = combo->view();
    QTRY_VERIFY(view->isVisible());
    const QRect entry = view->visualRect(view->model()->index(index, 0));
    QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, entry.center());
    QTRY_VERIFY(!view->isVisible());
}

} // namespace

class TestAcquisition : public QObject
{
    Q_OBJECT
private slots:
    void cleanup();

    void beforeDetectionOnlyTheUngroupedControlsRespond();
    void timebaseSendsNothingAfterAFailedOpen();
    void timebaseEntryChosenFromTheListIsSent_data();
    void timebaseEntryChosenFromTheListIsSent();
    void timebaseArrowKeysSendEachEntryReached();
    void typingIntoTheTimebaseSendsNothing_data();
    void typingIntoTheTimebaseSendsNothing();
    void everyEdgeClickIsSent_data();
    void everyEdgeClickIsSent();
    void triggerLevelSendsItsCodeAndMovesTheMarker_data();
    void triggerLevelSendsItsCodeAndMovesTheMarker();
    void draggingTheLevelSendsOneCommandPerReportedChange();
    void zeroCentresTheLevelOnce();
    void runStopTogglesTheLampAndSendsStartThenStop();
    void activityLampFollowsTheFrames();
    void activityLampTurnsBlackASecondAfterStartWithoutInstrument();
    void writeFailureTakesTheDeviceLossPathOnce_data();
    void writeFailureTakesTheDeviceLossPathOnce();

private:
    // Starts the window against a fresh instrument and shows it.
    MainWindow& start(Ack ack = Ack::immediate());
    [[nodiscard]] bool detected() const;
    template <typename T> T* widget(const char* name) const { return m_rig->widget<T>(name); }
    [[nodiscard]] LineObject* marker() const
    {
        return m_rig->window->findChild<LineObject*>(QStringLiteral("Trigger"));
    }

    std::unique_ptr<test::Rig> m_rig;
};

MainWindow& TestAcquisition::start(Ack ack)
{
    m_rig = std::make_unique<test::Rig>(3, true, ack);
    MainWindow& w = *m_rig->window;
    w.formLoad();
    w.show();
    if (!QTest::qWaitForWindowActive(&w))
        qWarning("the window did not become active");
    return w;
}

bool TestAcquisition::detected() const
{
    return QTest::qWaitFor([this] { return m_rig->controlsEnabled(); }, kTimeoutMs);
}

void TestAcquisition::cleanup()
{
    m_rig.reset();
}

void TestAcquisition::beforeDetectionOnlyTheUngroupedControlsRespond()
{
    MainWindow& w = start(Ack::never());
    for (const char* name : {"cmdRun", "cmdZero", "optFalling", "optRising"})
        QTest::mouseClick(widget<QAbstractButton>(name), Qt::LeftButton);
    auto* level = widget<QSlider>("SliderTriggerLevel");
    QTest::mouseClick(level, Qt::LeftButton, {}, aboveTheThumb(level));
    QCOMPARE(level->value(), 25);
    QCOMPARE(m_rig->lamp("shpStatus"), test::kLampRed);

    QTest::keyClick(widget<QComboBox>("cmbHorizontal"), Qt::Key_Down);
    auto* upper = widget<QSlider>("sliderPos");
    QTest::mouseClick(upper, Qt::LeftButton, {}, aboveTheThumb(upper));
    QCOMPARE(upper->value(), 40);
    QTest::mouseClick(widget<QPushButton>("cmdDef"), Qt::LeftButton);
    QCOMPARE(upper->value(), 50);

    int reports = 0;
    QTimer watch;
    connect(&watch, &QTimer::timeout, this, [&] {
        if (auto* form = qobject_cast<ReportForm*>(QApplication::activeModalWidget())) {
            ++reports;
            form->close();
        }
    });
    watch.start(0);
    QTest::mouseClick(widget<QPushButton>("Report"), Qt::LeftButton); // returns once it closed
    watch.stop();
    QCOMPARE(reports, 1);

    QTest::mouseClick(widget<QPushButton>("cmdClose"), Qt::LeftButton);
    QVERIFY(!w.isVisible());
    QTRY_COMPARE_WITH_TIMEOUT(settings(m_rig->instrument), (QStringList{"131,0,0,1", kStop}),
                              kTimeoutMs);
    QVERIFY(m_rig->messages.texts.isEmpty());
}

void TestAcquisition::timebaseSendsNothingAfterAFailedOpen()
{
    m_rig = std::make_unique<test::Rig>(3, false);
    MainWindow& w = *m_rig->window;
    w.formLoad();
    w.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w));
    QCOMPARE(m_rig->messages.texts.size(), 1);
    auto* combo = widget<QComboBox>("cmbHorizontal");
    QTest::keyClick(combo, Qt::Key_Down);
    chooseFromList(combo, 8);
    QCOMPARE(combo->currentIndex(), 8);
    // Nothing was written: a write to the closed port would have failed without a word, so the
    // port's state and the single message are what there is to see.
    QCoreApplication::processEvents();
    QCOMPARE(m_rig->messages.texts.size(), 1);
    QVERIFY(m_rig->retryOffered());
}

void TestAcquisition::timebaseEntryChosenFromTheListIsSent_data()
{
    QTest::addColumn<bool>("acknowledged");
    QTest::addColumn<int>("entry");
    QTest::addColumn<QString>("sent");
    QTest::newRow("20ms, detected") << true << 8 << "131,0,0,8";
    QTest::newRow("40µs again, detected") << true << 0 << "131,0,0,0";
    QTest::newRow("20ms, never answered") << false << 8 << "131,0,0,8";
    QTest::newRow("40µs again, never answered") << false << 0 << "131,0,0,0";
}

void TestAcquisition::timebaseEntryChosenFromTheListIsSent()
{
    QFETCH(bool, acknowledged);
    QFETCH(int, entry);
    QFETCH(QString, sent);
    MainWindow& w = start(acknowledged ? Ack::immediate() : Ack::never());
    if (acknowledged)
        QVERIFY(detected());
    chooseFromList(widget<QComboBox>("cmbHorizontal"), entry);
    w.close();
    QTRY_COMPARE_WITH_TIMEOUT(settings(m_rig->instrument), (QStringList{sent, kStop}), kTimeoutMs);
}

void TestAcquisition::timebaseArrowKeysSendEachEntryReached()
{
    MainWindow& w = start(Ack::never());
    auto* combo = widget<QComboBox>("cmbHorizontal");
    for (int i = 0; i < 9; ++i) // the last press finds the end of the list
        QTest::keyClick(combo, Qt::Key_Down);
    QTest::keyClick(combo, Qt::Key_Up);
    w.close();
    QStringList expected;
    for (int i = 1; i <= 8; ++i)
        expected << QStringLiteral("131,0,0,%1").arg(i);
    expected << "131,0,0,7" << kStop;
    QTRY_COMPARE_WITH_TIMEOUT(settings(m_rig->instrument), expected, kTimeoutMs);
}

void TestAcquisition::typingIntoTheTimebaseSendsNothing_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("key"); // pressed after typing; 0 for none
    QTest::addColumn<QString>("shown"); // the field's text afterwards
    const QString chosen = QString::fromUtf16(u"40\u00B5s"); // chosen at start-up
    QTest::newRow("an entry's text, no Enter") << "20ms" << 0 << "20ms";
    // A commit of text that names an entry shows again the entry chosen, which the instrument has.
    QTest::newRow("an entry's text and Enter") << "20ms" << int(Qt::Key_Return) << chosen;
    QTest::newRow("an entry's text, then Tab away") << "8ms" << int(Qt::Key_Tab) << chosen;
    QTest::newRow("the start of an entry, completed by Enter")
        << "80" << int(Qt::Key_Enter) << chosen;
    QTest::newRow("no entry's text and Enter") << "1s" << int(Qt::Key_Return) << "1s";
}

void TestAcquisition::typingIntoTheTimebaseSendsNothing()
{
    QFETCH(QString, typed);
    QFETCH(int, key);
    QFETCH(QString, shown);
    MainWindow& w = start(Ack::never());
    auto* combo = widget<QComboBox>("cmbHorizontal");
    combo->setFocus();
    QTRY_VERIFY(combo->lineEdit()->hasFocus());
    combo->lineEdit()->selectAll();
    QTest::keyClicks(combo->lineEdit(), typed);
    if (key)
        QTest::keyClick(combo->lineEdit(), Qt::Key(key));
    QCOMPARE(combo->currentText(), shown);
    QCOMPARE(combo->currentIndex(), 0);
    // Opening the list ends the typing too; the entry then clicked is a choice.
    chooseFromList(combo, 3);
    w.close();
    QTRY_COMPARE_WITH_TIMEOUT(settings(m_rig->instrument), (QStringList{"131,0,0,3", kStop}),
                              kTimeoutMs);
}

void TestAcquisition::everyEdgeClickIsSent_data()
{
    QTest::addColumn<QStringList>("clicks");
    QTest::addColumn<QStringList>("sent");
    QTest::newRow("Falling") << QStringList{"optFalling"} << QStringList{"130,0,0,1"};
    QTest::newRow("Rising, already selected")
        << QStringList{"optRising"} << QStringList{"130,0,0,0"};
    QTest::newRow("Falling twice")
        << QStringList{"optFalling", "optFalling"} << QStringList{"130,0,0,1", "130,0,0,1"};
    QTest::newRow("Falling, Rising, Rising") << QStringList{"optFalling", "optRising", "optRising"}
                                             << QStringList{"130,0,0,1", "130,0,0,0", "130,0,0,0"};
}

void TestAcquisition::everyEdgeClickIsSent()
{
    QFETCH(QStringList, clicks);
    QFETCH(QStringList, sent);
    MainWindow& w = start();
    QVERIFY(detected());
    for (const QString& name : clicks)
        QTest::mouseClick(w.findChild<QRadioButton*>(name), Qt::LeftButton);
    QVERIFY(w.findChild<QRadioButton*>(clicks.last())->isChecked());
    w.close();
    QTRY_COMPARE_WITH_TIMEOUT(settings(m_rig->instrument), sent + QStringList{kStop}, kTimeoutMs);
}

void TestAcquisition::triggerLevelSendsItsCodeAndMovesTheMarker_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("high");
    QTest::addColumn<int>("low");
    QTest::addColumn<float>("markerY"); // T + H v / 50 with T = 240, H = 4815 twips
    QTest::newRow("0, top") << 0 << 3 << 232 << 240.0f;
    QTest::newRow("1") << 1 << 3 << 212 << 336.3f;
    QTest::newRow("24") << 24 << 2 << 8 << 2551.2f;
    QTest::newRow("25, centre") << 25 << 1 << 244 << 2647.5f;
    QTest::newRow("26") << 26 << 1 << 224 << 2743.8f;
    QTest::newRow("49") << 49 << 0 << 20 << 4958.7f;
    QTest::newRow("50, bottom") << 50 << 0 << 0 << 5055.0f;
}

void TestAcquisition::triggerLevelSendsItsCodeAndMovesTheMarker()
{
    QFETCH(int, value);
    QFETCH(int, high);
    QFETCH(int, low);
    QFETCH(float, markerY);
    MainWindow& w = start();
    QVERIFY(detected());
    auto* level = widget<QSlider>("SliderTriggerLevel");
    QStringList sent;
    if (value == level->value()) { // the slider starts there: move away first
        level->setValue(40);
        sent << "129,0,0,200";
    }
    level->setValue(value);
    sent << QStringLiteral("129,0,%1,%2").arg(high).arg(low);

    QCOMPARE(marker()->ends(), (LineEnds{7440.0f, markerY, 7560.0f, markerY}));
    w.close();
    QTRY_COMPARE_WITH_TIMEOUT(settings(m_rig->instrument), sent + QStringList{kStop}, kTimeoutMs);
}

void TestAcquisition::draggingTheLevelSendsOneCommandPerReportedChange()
{
    MainWindow& w = start();
    QVERIFY(detected());
    auto* level = widget<QSlider>("SliderTriggerLevel");
    QSignalSpy changes(level, &QSlider::valueChanged);
    const QPoint thumb = test::sliderPart(level, QStyle::SC_SliderHandle).center();
    QTest::mousePress(level, Qt::LeftButton, {}, thumb);
    for (int dy = 1; dy <= 40; ++dy) // a pixel at a time: several moves per step of the slider
        QTest::mouseMove(level, thumb + QPoint(0, dy));
    QTest::mouseRelease(level, Qt::LeftButton, {}, thumb + QPoint(0, 40));
    QVERIFY(changes.count() > 1);
    QCOMPARE(level->value(), changes.last().at(0).toInt());

    level->setValue(50);
    QTest::keyClick(level, Qt::Key_End); // already at the bottom: no change, nothing sent

    QStringList sent;
    for (const QList<QVariant>& change : changes) {
        const auto bytes = trigLevelBytes(change.at(0).toInt());
        sent << QStringLiteral("129,0,%1,%2").arg(bytes->high).arg(bytes->low);
    }
    w.close();
    QTRY_COMPARE_WITH_TIMEOUT(settings(m_rig->instrument), sent + QStringList{kStop}, kTimeoutMs);
}

void TestAcquisition::zeroCentresTheLevelOnce()
{
    MainWindow& w = start();
    QVERIFY(detected());
    auto* level = widget<QSlider>("SliderTriggerLevel");
    level->setValue(40);
    QCOMPARE(marker()->ends().y1, 4092.0f);
    QTest::mouseClick(widget<QPushButton>("cmdZero"), Qt::LeftButton);
    QCOMPARE(level->value(), 25);
    QCOMPARE(marker()->ends(), (LineEnds{7440.0f, 2647.5f, 7560.0f, 2647.5f}));
    QTest::mouseClick(widget<QPushButton>("cmdZero"), Qt::LeftButton);
    w.close();
    QTRY_COMPARE_WITH_TIMEOUT(settings(m_rig->instrument),
                              (QStringList{"129,0,0,200", "129,0,1,244", kStop}), kTimeoutMs);
}

void TestAcquisition::runStopTogglesTheLampAndSendsStartThenStop()
{
    start();
    QVERIFY(detected());
    auto* run = widget<QPushButton>("cmdRun");
    QTest::mouseClick(run, Qt::LeftButton);
    QCOMPARE(m_rig->lamp("shpStatus"), kGreenLamp);
    // First after the greeting: start-up's choice of 40µs and the detection sent no setting.
    QTRY_COMPARE_WITH_TIMEOUT(settings(m_rig->instrument), QStringList{"128,0,0,1"}, kTimeoutMs);
    QTest::mouseClick(run, Qt::LeftButton);
    QCOMPARE(m_rig->lamp("shpStatus"), test::kLampRed);
    QTRY_COMPARE_WITH_TIMEOUT(settings(m_rig->instrument), (QStringList{"128,0,0,1", kStop}),
                              kTimeoutMs);
}

void TestAcquisition::activityLampFollowsTheFrames()
{
    start();
    QVERIFY(detected());
    auto* lamp = widget<Lamp>("shpTr");
    // The lamp at each tick of the activity timer, just after the window's own handling of it,
    // and how many frames had been judged by then.
    struct Tick
    {
        std::size_t judged;
        QColor lamp;
    };
    std::vector<Tick> ticks;
    connect(widget<QTimer>("tmrScan"), &QTimer::timeout, this, [&] {
        ticks.push_back({m_rig->judged.size(), lamp->colour()});
    });
    std::atomic<bool> stopping = false;
    std::atomic<std::uint64_t> framesMade = 0;
    m_rig->instrument.setFrameInterval(100ms);
    m_rig->instrument.setFrameSource([&](std::uint64_t n) {
        if (stopping)
            m_rig->instrument.stopStreaming(); // this frame is the last
        framesMade = n + 1;
        return VirtualInstrument::testPattern(n);
    });
    m_rig->instrument.startStreaming();
    QTRY_COMPARE_WITH_TIMEOUT(lamp->colour(), kGreenLamp, kTimeoutMs);
    QTRY_VERIFY_WITH_TIMEOUT(ticks.size() >= 3, 3 * kTimeoutMs);
    stopping = true;
    QTRY_VERIFY_WITH_TIMEOUT(!m_rig->instrument.isStreaming(), kTimeoutMs);
    QTRY_COMPARE_WITH_TIMEOUT(m_rig->bytesJudged(), qsizetype(framesMade) * FRAME_RX_THRESHOLD,
                              kTimeoutMs);
    // The first tick after the last frame still finds it; the second turns the lamp black.
    const std::size_t ticksAtEnd = ticks.size();
    QTRY_VERIFY_WITH_TIMEOUT(ticks.size() >= ticksAtEnd + 2, 3 * kTimeoutMs);
    QCOMPARE(lamp->colour(), kBlackLamp);

    // At every tick the lamp is green exactly when a frame was judged since the tick before,
    // however the machine's load spaced the frames and the ticks.
    bool greenAtATick = false;
    for (std::size_t k = 1; k < ticks.size(); ++k) {
        const bool framesCame = ticks[k].judged > ticks[k - 1].judged;
        QCOMPARE(ticks[k].lamp, framesCame ? kGreenLamp : kBlackLamp);
        greenAtATick |= framesCame;
    }
    QVERIFY(greenAtATick);
}

void TestAcquisition::activityLampTurnsBlackASecondAfterStartWithoutInstrument()
{
    QElapsedTimer sinceCreation;
    sinceCreation.start();
    m_rig = std::make_unique<test::Rig>(3, false);
    MainWindow& w = *m_rig->window;
    QSignalSpy ticks(widget<QTimer>("tmrScan"), &QTimer::timeout);
    w.formLoad();
    w.show();
    QCOMPARE(m_rig->lamp("shpTr"), test::kLampGrey);
    QVERIFY(ticks.wait(10000));
    QCOMPARE(m_rig->lamp("shpTr"), kBlackLamp);
    QVERIFY2(sinceCreation.elapsed() >= 900, qPrintable(QString::number(sinceCreation.elapsed())));
    QVERIFY(ticks.wait(10000));
    QCOMPARE(m_rig->lamp("shpTr"), kBlackLamp); // never grey again
}

void TestAcquisition::writeFailureTakesTheDeviceLossPathOnce_data()
{
    QTest::addColumn<QString>("control");
    for (const char* name :
         {"cmdRun", "optFalling", "optRising", "SliderTriggerLevel", "cmdZero", "cmbHorizontal"})
        QTest::newRow(name) << QString::fromLatin1(name);
}

void TestAcquisition::writeFailureTakesTheDeviceLossPathOnce()
{
    QFETCH(QString, control);
    MainWindow& w = start();
    QVERIFY(detected());
    widget<QSlider>("SliderTriggerLevel")->setValue(40); // so that Zero has something to send
    const auto operate = [&] {
        if (auto* button = w.findChild<QAbstractButton*>(control))
            QTest::mouseClick(button, Qt::LeftButton);
        else
            QTest::keyClick(w.findChild<QWidget*>(control), Qt::Key_Down);
    };

    // The adapter is pulled: the port's reading thread or the next write meets it first, and
    // the loss is told once either way.
    m_rig->instrument.pullPlug();
    operate();
    QTRY_COMPARE_WITH_TIMEOUT(m_rig->messages.texts.size(), 1, kTimeoutMs);
    QCOMPARE(m_rig->messages.titles.first(), QStringLiteral("Communication Error!"));
    QVERIFY(m_rig->retryOffered());
    QCOMPARE(m_rig->status(), QStringLiteral("COM3 ... Device not found!"));

    operate();
    operate();
    QCoreApplication::processEvents();
    QCOMPARE(m_rig->messages.texts.size(), 1);
    QVERIFY(w.isVisible());
}

QTEST_MAIN(TestAcquisition)
#include "tst_acquisition.moc"
