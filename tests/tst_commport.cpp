// The serial port component on a pseudo-terminal, with the virtual instrument at the far end.

#include "link/commport.h"
#include "tests/processprobe.h"
#include "tests/systemfaults.h"
#include "tests/testsupport.h"

#include <QDir>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include <atomic>
#include <cstdarg>
#include <string_view>
#include <thread>
#include <utility>

#include <dlfcn.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <unistd.h>

using namespace lumatrax;
using namespace std::chrono_literals;

namespace {

// Closes that let the output leave ask the terminal for its output queue. Armed, the port's
// thread is held in its next write (waking this thread for a read) until this thread writes.
std::atomic<int> outputQueueAsked{0};
std::atomic<bool> holdPortThread{false}, portThreadHeld{false};
const pthread_t testThread = ::pthread_self();

template <typename Function> Function* systemCall(const char* name)
{
    return reinterpret_cast<Function*>(::dlsym(RTLD_NEXT, name));
}

} // namespace

// Every ioctl() and write() of this process passes here on its way to the system's.
extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    std::va_list args;
    va_start(args, request);
    void* const argument = va_arg(args, void*);
    va_end(args);
    outputQueueAsked += request == TIOCOUTQ;
    return systemCall<int(int, unsigned long, ...)>("ioctl")(fd, request, argument);
}

extern "C" ssize_t write(int fd, const void* data, size_t size)
{
    char thread[16] = {};
    if (holdPortThread && ::pthread_getname_np(::pthread_self(), thread, sizeof thread) == 0 &&
        std::string_view(thread) == "lumatrax-port") {
        for (portThreadHeld = true; holdPortThread;)
            std::this_thread::yield();
    } else if (portThreadHeld && ::pthread_equal(::pthread_self(), testThread)) {
        holdPortThread = false;
    }
    return systemCall<ssize_t(int, const void*, size_t)>("write")(fd, data, size);
}

namespace {

// The descriptors above 2 that a program started now inherits, with what each one is.
QStringList descriptorsAChildInherits()
{
    QProcess child;
    child.start(
        QStringLiteral("/bin/sh"),
        {QStringLiteral("-c"),
         QStringLiteral("for f in /proc/$$/fd/*; do n=${f##*/}; "
                        "if [ \"$n\" -gt 2 ]; then printf '%s ' \"$n\"; readlink \"$f\"; fi; "
                        "done")});
    if (!child.waitForFinished(10000))
        return {QStringLiteral("the child did not finish")};
    return QString::fromLocal8Bit(child.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
}

// Counts the calls queued to an object as they reach it: the port's thread hands its reads to
// the user-interface thread with one.
class QueuedCalls : public QObject
{
public:
    explicit QueuedCalls(QObject* target) { target->installEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        count += event->type() == QEvent::MetaCall;
        return false;
    }
};

} // namespace

class TestCommPort : public QObject
{
    Q_OBJECT
private slots:
    void failuresDescribePortDeviceAndReason();
    void thresholdZeroRaisesNothing();
    void readsComeOnceTheThresholdIsReachedWithEverythingWaiting();
    void readsArrivingWhileAHandlerWaitsAreDeliveredAfterIt();
    void aLossMetWhileAHandlerWaitsIsForgottenAtClose();
    void inputTakesEveryWaitingByteBeyondTheReceiveBuffer();
    void everyByteValuePassesBothWays();
    void deviceLossClosesOnceAndTellsOnce();
    void aCloseWhileTheThreadHandsOverAReadStillLetsTheOutputLeave();
    void readsTakenBeforeAHangUpAreDeliveredBeforeTheLoss();
    void aStalledWindowHoldsAboutASecondOfTheLineAndLosesNothing();
    void aFailingWaitOfTheReadingThreadIsALoss();
    void withoutAWakeUpPipeOrThreadOpeningFailsWithAMessage();
    void aProgramStartedMeanwhileInheritsNothingOfThePort();

private:
    struct Line
    {
        test::StartDirectory dir;
        VirtualInstrument instrument;
        CommPort port;
        explicit Line(int number)
        {
            instrument.setAckBehaviour(VirtualInstrument::AckBehaviour::never());
            instrument.open();
            instrument.placeLink(dir.path(), number);
            port.setStartDirectory(dir.path());
            port.setCommPort(std::int16_t(number));
        }
    };
};

void TestCommPort::failuresDescribePortDeviceAndReason()
{
    test::StartDirectory dir;
    CommPort port;
    port.setStartDirectory(dir.path());
    dir.placeMissingPort(9);
    port.setCommPort(9);
    const auto error = port.open();
    QVERIFY(error);
    QCOMPARE(*error, QStringLiteral("COM9 (%1/COM9): No such file or directory").arg(dir.path()));
    QVERIFY(!port.portOpen());

    // Writing to a closed port fails with a description; reading gives nothing.
    const auto writeError = port.output(toBytes(CMD_HELLO));
    QVERIFY(writeError && writeError->startsWith("COM9 ("));
    QVERIFY(port.input().isEmpty());

    Line line(4);
    QCOMPARE(line.port.open(), std::nullopt);
    QCOMPARE(line.port.devicePath(), line.instrument.devicePath());
    const auto again = line.port.open();
    QVERIFY(again && again->startsWith("COM4 (" + line.instrument.devicePath() + "): "));
    QVERIFY(line.port.portOpen());

    // Held by another program: here another port of this process, named by its lock file.
    CommPort other;
    other.setStartDirectory(line.dir.path());
    other.setCommPort(4);
    QCOMPARE(other.open().value_or(QString()),
             QStringLiteral("COM4 (%1): in use by another program (process %2)")
                 .arg(line.instrument.devicePath())
                 .arg(QCoreApplication::applicationPid()));
}

void TestCommPort::thresholdZeroRaisesNothing()
{
    Line line(4);
    QCOMPARE(line.port.open(), std::nullopt);
    QSignalSpy events(&line.port, &CommPort::comm);
    QVERIFY(line.instrument.sendRaw(QByteArray(600, 'x')));
    // Nothing read them: they all wait for input().
    QByteArray got;
    QTRY_VERIFY_WITH_TIMEOUT((got += line.port.input(), got.size() >= 600), 3000);
    QCOMPARE(got, QByteArray(600, 'x'));
    // Armed now, the port raises an event for the next byte, the first event of all: none came
    // before it.
    QList<std::vector<QByteArray>> delivered;
    connect(&line.port, &CommPort::comm, this, [&] { delivered << line.port.reads(); });
    line.port.setRThreshold(1);
    QVERIFY(line.instrument.sendRaw("y"));
    QTRY_COMPARE_WITH_TIMEOUT(delivered.size(), 1, 3000);
    QCOMPARE(events.count(), 1);
    QCOMPARE(delivered[0], std::vector<QByteArray>{"y"});
}

void TestCommPort::readsComeOnceTheThresholdIsReachedWithEverythingWaiting()
{
    Line line(4);
    QCOMPARE(line.port.open(), std::nullopt);
    line.port.setRThreshold(100);
    QList<QByteArray> reads;
    connect(&line.port, &CommPort::comm, this, [&] {
        QCOMPARE(line.port.commEvent(), CommPort::comEvReceive);
        for (const QByteArray& read : line.port.reads())
            reads << read;
    });
    // 60 bytes wait below the threshold; 60 more reach it. The first read, whenever the port's
    // thread saw the first bytes, holds them all.
    QVERIFY(line.instrument.sendRaw(QByteArray(60, 'a')));
    QTRY_COMPARE(line.instrument.bytesSent(), std::uint64_t(60));
    QVERIFY(line.instrument.sendRaw(QByteArray(60, 'b')));
    QTRY_COMPARE_WITH_TIMEOUT(reads.size(), 1, 3000);
    QCOMPARE(reads[0], QByteArray(60, 'a') + QByteArray(60, 'b'));

    // Bytes already waiting when the threshold is armed make one read, all of them.
    line.port.setRThreshold(0);
    QVERIFY(line.instrument.sendRaw(QByteArray(150, 'c')));
    QVERIFY(line.instrument.sendRaw(QByteArray(150, 'd')));
    QTRY_COMPARE(line.instrument.bytesSent(), std::uint64_t(420));
    line.port.setRThreshold(100);
    QTRY_COMPARE_WITH_TIMEOUT(reads.size(), 2, 3000);
    QCOMPARE(reads[1], QByteArray(150, 'c') + QByteArray(150, 'd'));
    QCOMPARE(reads.size(), 2);

    // A threshold lowered to what the port's thread has taken already: that read, at once.
    line.port.setRThreshold(1000); // taken 255 bytes at a time (VMIN)
    const test::PortThreadProbe portThread;
    const qint64 before = portThread.bytesRead();
    QVERIFY(line.instrument.sendRaw(QByteArray(255, 'e')));
    QVERIFY(test::spinUntil([&] { return portThread.bytesRead() >= before + 255; }));
    line.port.setRThreshold(200);
    QTRY_COMPARE_WITH_TIMEOUT(reads.size(), 3, 3000);
    QCOMPARE(reads[2], QByteArray(255, 'e'));
}

void TestCommPort::readsArrivingWhileAHandlerWaitsAreDeliveredAfterIt()
{
    Line line(4);
    QCOMPARE(line.port.open(), std::nullopt);
    line.port.setRThreshold(10);
    QByteArray got;
    bool first = true;
    QueuedCalls turns(&line.port);
    connect(&line.port, &CommPort::comm, this, [&] {
        for (const QByteArray& read : line.port.reads())
            got += read;
        if (std::exchange(first, false)) {
            // A handler that runs an event loop of its own (a message box, say) while more
            // bytes come, until the port's thread has handed them over.
            const int before = turns.count;
            QVERIFY(line.instrument.sendRaw(QByteArray(30, 'b')));
            QVERIFY(QTest::qWaitFor([&] { return turns.count > before; }, 3000));
        }
    });
    QVERIFY(line.instrument.sendRaw(QByteArray(30, 'a')));
    QTRY_COMPARE_WITH_TIMEOUT(got, QByteArray(30, 'a') + QByteArray(30, 'b'), 3000);
}

void TestCommPort::aLossMetWhileAHandlerWaitsIsForgottenAtClose()
{
    Line line(4);
    QCOMPARE(line.port.open(), std::nullopt);
    line.port.setRThreshold(10);
    QSignalSpy lost(&line.port, &CommPort::linkLost);
    bool reopened = false;
    connect(&line.port, &CommPort::comm, this, [&] {
        // A handler's own event loop meets the loss; the port is closed and opened again.
        line.instrument.pullPlug();
        QVERIFY(QTest::qWaitFor([] { return test::threadsNamed("lumatrax-port") == 0; }, 5000));
        QCoreApplication::sendPostedEvents(); // the loss, kept for after this turn
        line.port.close();
        QVERIFY(line.instrument.replug());
        reopened = !line.port.open();
    });
    QVERIFY(line.instrument.sendRaw(QByteArray(10, 'a')));
    QTRY_VERIFY_WITH_TIMEOUT(reopened, 3000);
    QCoreApplication::sendPostedEvents(); // where a loss told after the turn would be
    QVERIFY(lost.isEmpty() && line.port.portOpen());
}

void TestCommPort::inputTakesEveryWaitingByteBeyondTheReceiveBuffer()
{
    Line line(4);
    QCOMPARE(line.port.open(), std::nullopt);
    QByteArray sent;
    for (int i = 0; i < 3; ++i) {
        const QByteArray burst(1000, char('p' + i));
        sent += burst;
        QVERIFY(line.instrument.sendRaw(burst));
    }
    QTRY_COMPARE_WITH_TIMEOUT(line.instrument.bytesSent(), std::uint64_t(3000), 3000);
    QByteArray got = line.port.input();
    QCOMPARE(got.size(), 3000);
    QCOMPARE(got, sent);
}

void TestCommPort::everyByteValuePassesBothWays()
{
    Line line(4);
    QCOMPARE(line.port.open(), std::nullopt);
    QByteArray all;
    for (int b = 0; b < 256; ++b)
        all.append(char(b));
    for (int i = 0; i < 256; i += 4)
        QCOMPARE(line.port.output(all.mid(i, 4)), std::nullopt);
    QVERIFY(line.instrument.waitForReceived(256, 3s));
    QCOMPARE(line.instrument.received(), all);
    QVERIFY(line.instrument.sendRaw(all));
    QByteArray got;
    QTRY_VERIFY_WITH_TIMEOUT((got += line.port.input(), got.size() >= 256), 3000);
    QCOMPARE(got, all);
}

void TestCommPort::deviceLossClosesOnceAndTellsOnce()
{
    Line line(4);
    QCOMPARE(line.port.open(), std::nullopt);
    line.port.setRThreshold(210);
    QSignalSpy lost(&line.port, &CommPort::linkLost);
    QSignalSpy reads(&line.port, &CommPort::comm);
    line.instrument.startStreaming();
    QVERIFY(reads.wait(3000));
    line.instrument.pullPlug();
    QVERIFY(lost.wait(3000));
    // The port's thread ends with the loss: once it is gone, all it told has arrived.
    QTRY_COMPARE_WITH_TIMEOUT(test::threadsNamed("lumatrax-port"), 0, 3000);
    QCoreApplication::sendPostedEvents();
    QCOMPARE(lost.count(), 1);
    QVERIFY(!line.port.portOpen());
    QVERIFY(lost.at(0).at(0).toString().startsWith("COM4 ("));
    QVERIFY(line.port.output(toBytes(CMD_HELLO))); // an error, not a crash

    // A new open after the device is back works, and a second loss is told again.
    QVERIFY(line.instrument.replug());
    QCOMPARE(line.port.open(), std::nullopt);
    line.instrument.pullPlug();
    QTRY_COMPARE_WITH_TIMEOUT(lost.count(), 2, 3000);
}

void TestCommPort::aCloseWhileTheThreadHandsOverAReadStillLetsTheOutputLeave()
{
    Line line(4);
    QCOMPARE(line.port.open(), std::nullopt);
    line.port.setRThreshold(FRAME_RX_THRESHOLD);
    QCOMPARE(line.port.output(toBytes(command(Opcode::CMD_RUN, 0, 0, 0))), std::nullopt);
    holdPortThread = true;
    QVERIFY(line.instrument.sendRaw(QByteArray(FRAME_RX_THRESHOLD, 'a')));
    QVERIFY(test::spinUntil([] { return portThreadHeld.load(); }));
    const int asked = outputQueueAsked;
    line.port.close(); // its wake-up of the port's thread lets the hand-over go on
    QVERIFY(outputQueueAsked > asked);
}

void TestCommPort::readsTakenBeforeAHangUpAreDeliveredBeforeTheLoss()
{
    Line line(4);
    QCOMPARE(line.port.open(), std::nullopt);
    line.port.setRThreshold(FRAME_RX_THRESHOLD);
    QByteArray delivered;
    QStringList order;
    bool first = true;
    connect(&line.port, &CommPort::linkLost, this, [&] { order << "lost"; });
    connect(&line.port, &CommPort::comm, this, [&] {
        for (const QByteArray& read : line.port.reads())
            delivered += read;
        order << "reads";
        if (!std::exchange(first, false))
            return;
        // While the first read is handled, two more frames come and are read by the port's
        // thread, within a turn interval of the first: held back for the next turn. Then the
        // cable goes, before this handler returns.
        const test::PortThreadProbe portThread;
        const qint64 before = portThread.bytesRead();
        QVERIFY(before >= 0);
        QVERIFY(line.instrument.sendRaw(QByteArray(FRAME_RX_THRESHOLD, 'b')));
        QVERIFY(line.instrument.sendRaw(QByteArray(FRAME_RX_THRESHOLD, 'c')));
        QVERIFY(test::spinUntil(
            [&] { return portThread.bytesRead() >= before + 2 * FRAME_RX_THRESHOLD; }));
        line.instrument.pullPlug();
        QVERIFY(test::spinUntil([&] { return !line.port.portOpen(); }));
    });
    // An event loop that wakes as soon as the port posts, so the first turn comes right away.
    QSignalSpy lost(&line.port, &CommPort::linkLost);
    QVERIFY(line.instrument.sendRaw(QByteArray(FRAME_RX_THRESHOLD, 'a')));
    QVERIFY(lost.wait(5000));
    QCOMPARE(delivered, QByteArray(FRAME_RX_THRESHOLD, 'a') + QByteArray(FRAME_RX_THRESHOLD, 'b') +
                            QByteArray(FRAME_RX_THRESHOLD, 'c'));
    QCOMPARE(order.last(), QStringLiteral("lost"));
    QCOMPARE(order.count("lost"), 1);
}

void TestCommPort::aStalledWindowHoldsAboutASecondOfTheLineAndLosesNothing()
{
    Line line(4);
    QCOMPARE(line.port.open(), std::nullopt);
    line.port.setRThreshold(FRAME_RX_THRESHOLD);
    std::vector<qsizetype> turnBytes;
    QByteArray delivered;
    connect(&line.port, &CommPort::comm, this, [&] {
        const qsizetype before = delivered.size();
        for (const QByteArray& read : line.port.reads())
            delivered += read;
        turnBytes.push_back(delivered.size() - before);
    });
    // More than a second of the line while this thread takes no turn: the port's thread keeps
    // 64 KiB for it (and the read that crossed that), the system the rest (a pseudo-terminal
    // holds about 10 KiB).
    QByteArray sent;
    for (int i = 0; i < 340; ++i) {
        VirtualInstrument::Frame frame;
        frame.fill(std::uint8_t(i % 251));
        QVERIFY(line.instrument.sendFrame(frame));
        sent += QByteArray(SAMPLES_PER_FRAME, char(i % 251)) +
                QByteArray(FRAME_RX_THRESHOLD - SAMPLES_PER_FRAME, char(SAMPLE_OFFSET));
    }
    QVERIFY(test::spinUntil(
        [&] { return line.instrument.bytesSent() == std::uint64_t(sent.size()); }, 20s));
    QTRY_COMPARE_WITH_TIMEOUT(delivered.size(), sent.size(), 10000);
    QVERIFY(delivered == sent);
    QVERIFY2(turnBytes.front() < 64 * 1024 + 4096, qPrintable(QString::number(turnBytes.front())));
}

void TestCommPort::aFailingWaitOfTheReadingThreadIsALoss()
{
    Line line(4);
    QCOMPARE(line.port.open(), std::nullopt);
    QSignalSpy lost(&line.port, &CommPort::linkLost);
    {
        // poll() on the port and the thread's wake-up refuses two descriptors now.
        const test::FileLimit limit(1);
        QVERIFY(limit.isSet());
        line.port.setRThreshold(FRAME_RX_THRESHOLD); // the thread waits again
        QVERIFY(test::spinUntil([&] { return !line.port.portOpen(); }));
    }
    QVERIFY(lost.wait(5000));
    const QString text = lost.at(0).at(0).toString();
    QVERIFY2(text.startsWith("COM4 (" + line.instrument.devicePath() +
                             "): The connection to the device was lost ("),
             qPrintable(text));
    // Commands are refused with that loss, not swallowed.
    const auto refused = line.port.output(toBytes(CMD_HELLO));
    QVERIFY(refused && refused->contains("The connection to the device was lost"));
    QCoreApplication::sendPostedEvents(); // a second loss would have been posted by now
    QCOMPARE(lost.count(), 1);
    // The device itself is fine: it opens again.
    QCOMPARE(line.port.open(), std::nullopt);
    QCOMPARE(line.port.output(toBytes(CMD_HELLO)), std::nullopt);
    QVERIFY(line.instrument.waitForReceived(4, 3s));
}

void TestCommPort::withoutAWakeUpPipeOrThreadOpeningFailsWithAMessage()
{
    Line line(4);
    // Room for one more descriptor, which opening the device takes, and none for a pipe.
    const int lowestFree = ::fcntl(0, F_DUPFD, 0);
    const int nextFree = ::fcntl(0, F_DUPFD, 0);
    QVERIFY(lowestFree >= 0 && nextFree > lowestFree);
    ::close(lowestFree);
    ::close(nextFree);
    std::optional<QString> error;
    {
        const test::FileLimit limit{rlim_t(nextFree)};
        QVERIFY(limit.isSet());
        error = line.port.open();
    }
    QVERIFY(error);
    QCOMPARE(
        *error,
        QStringLiteral("COM4 (%1): %2").arg(line.instrument.devicePath(), qt_error_string(EMFILE)));
    QVERIFY(!line.port.portOpen());
    QCOMPARE(line.port.open(), std::nullopt);
    line.port.close();
    // Nor when the system refuses its reading thread.
    line.port.setThreadStart([](QThread&) { return EAGAIN; });
    QCOMPARE(line.port.open().value_or(QString()),
             QStringLiteral("COM4 (%1): The port's reading thread could not be started (%2)")
                 .arg(line.instrument.devicePath(), qt_error_string(EAGAIN)));
}

void TestCommPort::aProgramStartedMeanwhileInheritsNothingOfThePort()
{
    Line line(4);
    const QStringList before = descriptorsAChildInherits();
    QCOMPARE(line.port.open(), std::nullopt);
    line.port.setRThreshold(FRAME_RX_THRESHOLD);
    QCOMPARE(descriptorsAChildInherits(), before);
}

QTEST_MAIN(TestCommPort)
#include "tst_commport.moc"
