// The virtual instrument seen from the program's end of its pseudo-terminal, through plain POSIX
// calls: greeting, command records, byte transparency, frame bursts and their pace, streaming on
// CMD_RUN, the COMn link, and a pulled adapter that comes back.

#include "tests/portend.h"
#include "tools/line/linepacer.h"
#include "tools/line/virtualinstrument.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <cerrno>
#include <memory>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace lumatrax;
using namespace std::chrono_literals;
using Frame = VirtualInstrument::Frame;
using test::PortEnd;

Q_DECLARE_METATYPE(std::chrono::microseconds)

namespace {

constexpr auto kTimeout = 5s;
// Sent by the instrument after everything it has queued: what arrives before it is all there is,
// and once it is in, every earlier burst has been counted.
const QByteArray kMarker("\x5A\xA5\x0F\xF0", 4);

QByteArray bytesOf(std::initializer_list<Command> commands)
{
    QByteArray bytes;
    for (const Command& c : commands)
        bytes += toBytes(c);
    return bytes;
}

const QByteArray kGreeting = bytesOf({SYNC_FRAME, CMD_HELLO});

Frame filledFrame(std::uint8_t value)
{
    Frame frame;
    frame.fill(value);
    return frame;
}

QByteArray frameBytes(const Frame& frame)
{
    return QByteArray(reinterpret_cast<const char*>(frame.data()), qsizetype(frame.size()));
}

// Everything before the marker that the instrument is asked to send now.
QByteArray readUpToMarker(PortEnd& port, VirtualInstrument& instrument)
{
    instrument.sendRaw(kMarker);
    QByteArray bytes;
    while (!bytes.endsWith(kMarker)) {
        const QByteArray more = port.read(1);
        if (more.isEmpty())
            return "(no marker)";
        bytes += more;
    }
    bytes.chop(kMarker.size());
    return bytes;
}

} // namespace

class TestVirtualInstrument : public QObject
{
    Q_OBJECT
private slots:
    void pacerStartsEachBurstWhenTheLastEnds_data();
    void pacerStartsEachBurstWhenTheLastEnds();
    void packetsFollowTheStreamNotTheBursts_data();
    void packetsFollowTheStreamNotTheBursts();
    void greetingIsAnswered_data();
    void greetingIsAnswered();
    void commandsAreRecordedInOrderHoweverTheyAreSplit_data();
    void commandsAreRecordedInOrderHoweverTheyAreSplit();
    void everyByteValuePassesUnchangedBothWays_data();
    void everyByteValuePassesUnchangedBothWays();
    void framesArePaddedToTheBurstLength_data();
    void framesArePaddedToTheBurstLength();
    void burstsKeepToTheLineRate_data();
    void burstsKeepToTheLineRate();
    void runCommandStartsAndStopsStreaming_data();
    void runCommandStartsAndStopsStreaming();
    void comLinkIsPlacedAndRemoved_data();
    void comLinkIsPlacedAndRemoved();
    void aFileNamedLikeTheLinkIsLeftAlone();
    void lineOutlivesTheProgramClosingIt();
    void pulledPlugHangsUpAndReplugComesBack();
    void shutdownIsNotHeldUp_data();
    void shutdownIsNotHeldUp();
};

void TestVirtualInstrument::pacerStartsEachBurstWhenTheLastEnds_data()
{
    // Times in µs from the start of a 210-byte burst at 0, which ends at 4200.
    QTest::addColumn<int>("readyAt");
    QTest::addColumn<int>("expectedStart");
    QTest::newRow("ready at once waits for the line") << 0 << 4200;
    QTest::newRow("ready while the line is busy") << 3000 << 4200;
    QTest::newRow("ready when the line is free") << 4200 << 4200;
    QTest::newRow("ready after the line is free") << 9000 << 9000;
}

void TestVirtualInstrument::pacerStartsEachBurstWhenTheLastEnds()
{
    QFETCH(int, readyAt);
    QFETCH(int, expectedStart);
    QCOMPARE(LinePacer::byteTime(500000), 20us);
    const LinePacer::Clock::time_point t0{};
    LinePacer pacer(LinePacer::byteTime(kBaudRate));
    QCOMPARE(pacer.occupy(t0, FRAME_RX_THRESHOLD), t0 + 4200us);
    const auto start = pacer.startFor(t0 + std::chrono::microseconds(readyAt));
    QCOMPARE(start, t0 + std::chrono::microseconds(expectedStart));
    // The next burst follows from where this one ends on the line, however late it was written.
    pacer.occupy(start, FRAME_RX_THRESHOLD);
    QCOMPARE(pacer.freeAt(), start + 4200us);
}

void TestVirtualInstrument::packetsFollowTheStreamNotTheBursts_data()
{
    // Bursts as (start in µs, bytes); packets as (bytes, when handed over in µs). A byte
    // arrives 20 µs after the one before it, the first 20 µs after its burst's start.
    QTest::addColumn<int>("packetSize");
    QTest::addColumn<int>("latencyMs");
    QTest::addColumn<QList<QPoint>>("bursts");
    QTest::addColumn<QList<QPoint>>("packets");
    QTest::newRow("a burst alone: full packets, the rest once no byte follows")
        << 62 << 0 << QList<QPoint>{{0, 210}}
        << QList<QPoint>{{62, 1240}, {62, 2480}, {62, 3720}, {24, 4220}};
    QTest::newRow("in 16-byte packets")
        << 16 << 0 << QList<QPoint>{{0, 210}}
        << QList<QPoint>{{16, 320},  {16, 640},  {16, 960},  {16, 1280}, {16, 1600},
                         {16, 1920}, {16, 2240}, {16, 2560}, {16, 2880}, {16, 3200},
                         {16, 3520}, {16, 3840}, {16, 4160}, {2, 4220}};
    QTest::newRow("bursts back to back run on in one stream")
        << 62 << 0 << QList<QPoint>{{0, 210}, {4200, 210}}
        << QList<QPoint>{{62, 1240}, {62, 2480}, {62, 3720}, {62, 4960},
                         {62, 6200}, {62, 7440}, {48, 8420}};
    QTest::newRow("a pause of a byte time and a microsecond ends the packet")
        << 62 << 0 << QList<QPoint>{{0, 210}, {4201, 210}}
        << QList<QPoint>{{62, 1240}, {62, 2480}, {62, 3720}, {24, 4220},
                         {62, 5441}, {62, 6681}, {62, 7921}, {24, 8421}};
    QTest::newRow("a latency timer longer than the pause joins the bursts")
        << 62 << 16 << QList<QPoint>{{0, 210}, {10000, 210}}
        << QList<QPoint>{{62, 1240},  {62, 2480},  {62, 3720}, {62, 10760},
                         {62, 12000}, {62, 13240}, {48, 30200}};
    QTest::newRow("the acknowledgement alone")
        << 62 << 0 << QList<QPoint>{{0, 1}} << QList<QPoint>{{1, 40}};
}

void TestVirtualInstrument::packetsFollowTheStreamNotTheBursts()
{
    QFETCH(int, packetSize);
    QFETCH(int, latencyMs);
    QFETCH(QList<QPoint>, bursts);
    QFETCH(QList<QPoint>, packets);
    const PacketLine::Clock::time_point t0{};
    PacketLine line(VirtualInstrument::kByteTime, packetSize, std::chrono::milliseconds(latencyMs));
    QByteArray sent;
    for (const QPoint& burst : bursts) {
        const QByteArray bytes =
            QByteArray::number(sent.size()).repeated(burst.y()).first(burst.y());
        line.add(t0 + std::chrono::microseconds(burst.x()), bytes);
        sent += bytes;
    }
    QList<QPoint> cut;
    QByteArray handed;
    int whole = 0;
    while (const auto packet = line.next()) {
        cut.append({int(packet->length), int((packet->due - t0) / 1us)});
        handed += line.peek(packet->length);
        line.consume(packet->length, [&](int, qsizetype, bool done) { whole += done; });
    }
    QCOMPARE(cut, packets);
    QCOMPARE(handed, sent);
    QCOMPARE(whole, bursts.size());
}

void TestVirtualInstrument::greetingIsAnswered_data()
{
    QTest::addColumn<bool>("answer");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<QByteArray>("trailer");
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QByteArray>("expected");
    const QByteArray ack(1, char(DEVICE_ACK));
    QTest::newRow("at once") << true << 0 << QByteArray() << kGreeting << ack;
    QTest::newRow("after 150 ms") << true << 150 << QByteArray() << kGreeting << ack;
    QTest::newRow("followed by 0x55")
        << true << 0 << QByteArray("\x55") << kGreeting << ack + QByteArray("\x55");
    QTest::newRow("never") << false << 0 << QByteArray() << kGreeting << QByteArray();
    QTest::newRow("hello without sync")
        << true << 0 << QByteArray() << toBytes(CMD_HELLO) << QByteArray();
    QTest::newRow("hello after another command")
        << true << 0 << QByteArray() << bytesOf({command(Opcode::CMD_RUN), CMD_HELLO})
        << QByteArray();
    QTest::newRow("each greeting of two")
        << true << 0 << QByteArray() << kGreeting + kGreeting << ack + ack;
}

void TestVirtualInstrument::greetingIsAnswered()
{
    QFETCH(bool, answer);
    QFETCH(int, delayMs);
    QFETCH(QByteArray, trailer);
    QFETCH(QByteArray, written);
    QFETCH(QByteArray, expected);

    VirtualInstrument instrument;
    instrument.setAckBehaviour({answer, std::chrono::milliseconds(delayMs), trailer});
    QVERIFY2(instrument.open(), qPrintable(instrument.errorString()));
    PortEnd port(instrument.devicePath());
    QVERIFY(port.isOpen());

    const auto since = std::chrono::steady_clock::now();
    QVERIFY(port.write(written));
    QCOMPARE(port.read(expected.size()), expected);
    QVERIFY(std::chrono::steady_clock::now() - since >= std::chrono::milliseconds(delayMs));
    QVERIFY(instrument.waitForCommands(int(written.size() / 4), kTimeout));
    QCOMPARE(readUpToMarker(port, instrument), QByteArray());
    QCOMPARE(instrument.acksSent(), int(expected.count(char(DEVICE_ACK))));
}

void TestVirtualInstrument::commandsAreRecordedInOrderHoweverTheyAreSplit_data()
{
    QTest::addColumn<int>("chunk");
    QTest::addColumn<QByteArray>("tail");
    QTest::newRow("all in one write") << 0 << QByteArray();
    QTest::newRow("a command a write") << 4 << QByteArray();
    QTest::newRow("a byte a write") << 1 << QByteArray();
    QTest::newRow("three bytes a write") << 3 << QByteArray();
    QTest::newRow("five bytes a write") << 5 << QByteArray();
    QTest::newRow("half a command left over") << 1 << QByteArray("\x81\x00", 2);
}

void TestVirtualInstrument::commandsAreRecordedInOrderHoweverTheyAreSplit()
{
    QFETCH(int, chunk);
    QFETCH(QByteArray, tail);
    const std::vector<Command> sent = {SYNC_FRAME,
                                       CMD_HELLO,
                                       command(Opcode::CMD_RUN, 0, 0, 1),
                                       command(Opcode::CMD_TRIG_LEVEL, 0, 1, 244),
                                       command(Opcode::CMD_TRIG_EDGE, 0, 0, 1),
                                       command(Opcode::CMD_TIMEBASE, 0, 0, 8),
                                       command(Opcode::CMD_RUN, 0, 0, 0)};
    QByteArray stream;
    for (const Command& c : sent)
        stream += toBytes(c);
    stream += tail;

    VirtualInstrument instrument;
    QVERIFY(instrument.open());
    PortEnd port(instrument.devicePath());
    const qsizetype step = chunk == 0 ? stream.size() : chunk;
    for (qsizetype at = 0; at < stream.size(); at += step) {
        const QByteArray piece = stream.mid(at, step);
        QVERIFY(port.write(piece));
        // Each piece reaches the instrument in a read of its own before the next is written.
        QVERIFY(instrument.waitForReceived(at + piece.size(), kTimeout));
    }
    QVERIFY(instrument.commands() == sent);
    QCOMPARE(instrument.commandCount(), int(sent.size()));
    QCOMPARE(instrument.received(), stream);
}

void TestVirtualInstrument::everyByteValuePassesUnchangedBothWays_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QByteArray ascending, descending;
    for (int b = 0; b < 256; ++b) {
        ascending += char(b);
        descending += char(255 - b);
    }
    QTest::newRow("0 to 255") << ascending;
    QTest::newRow("255 to 0") << descending;
    // CR, LF, ^C, ^D, XON, XOFF, ^Z, DEL, 0xFF and NUL: the bytes a cooked line would change.
    QTest::newRow("line-discipline characters")
        << QByteArray("\r\n\r\n\x03\x04\x11\x13\x1a\x7f\xff\x00\n\r\x00\xff", 16).repeated(8);
}

void TestVirtualInstrument::everyByteValuePassesUnchangedBothWays()
{
    QFETCH(QByteArray, bytes);
    VirtualInstrument instrument;
    instrument.setAckBehaviour(VirtualInstrument::AckBehaviour::never());
    QVERIFY(instrument.open());
    PortEnd port(instrument.devicePath());

    QVERIFY(port.write(bytes));
    QVERIFY(instrument.waitForReceived(bytes.size(), kTimeout));
    QCOMPARE(instrument.received(), bytes);

    QVERIFY(instrument.sendRaw(bytes));
    QCOMPARE(port.read(bytes.size()), bytes);
    QCOMPARE(readUpToMarker(port, instrument), QByteArray());
}

void TestVirtualInstrument::framesArePaddedToTheBurstLength_data()
{
    QTest::addColumn<int>("burstLength");
    QTest::addColumn<int>("padByte");
    QTest::addColumn<int>("expectedLength");
    QTest::newRow("default: 210 bytes, padded with 128") << 0 << -1 << 210;
    QTest::newRow("215 bytes") << 215 << -1 << 215;
    QTest::newRow("400 bytes padded with 0xEE") << 400 << 0xEE << 400;
    QTest::newRow("below 210 raised to 210") << 200 << -1 << 210;
    QTest::newRow("above 1024 cut to 1024") << 5000 << 0 << 1024;
}

void TestVirtualInstrument::framesArePaddedToTheBurstLength()
{
    QFETCH(int, burstLength);
    QFETCH(int, padByte);
    QFETCH(int, expectedLength);
    VirtualInstrument instrument;
    if (burstLength > 0)
        instrument.setBurstLength(burstLength);
    if (padByte >= 0)
        instrument.setPadByte(std::uint8_t(padByte));
    QVERIFY(instrument.open());
    PortEnd port(instrument.devicePath());

    Frame frame;
    for (std::size_t k = 0; k < frame.size(); ++k)
        frame[k] = std::uint8_t(k * 7 + 3);
    QVERIFY(instrument.sendFrame(frame));
    const QByteArray burst = port.read(expectedLength);
    QCOMPARE(burst.size(), expectedLength);
    QCOMPARE(burst.first(SAMPLES_PER_FRAME), frameBytes(frame));
    const char pad = char(padByte >= 0 ? padByte : SAMPLE_OFFSET);
    QCOMPARE(burst.sliced(SAMPLES_PER_FRAME), QByteArray(expectedLength - SAMPLES_PER_FRAME, pad));
    QCOMPARE(readUpToMarker(port, instrument), QByteArray());
    QCOMPARE(instrument.framesSent(), 1u);
}

void TestVirtualInstrument::burstsKeepToTheLineRate_data()
{
    QTest::addColumn<int>("frames");
    QTest::addColumn<int>("burstLength");
    QTest::addColumn<std::chrono::microseconds>("interval");
    QTest::addColumn<bool>("streamed");
    QTest::newRow("20 frames given at once") << 20 << 210 << 0us << false;
    QTest::newRow("8 frames of 1024 bytes") << 8 << 1024 << 0us << false;
    QTest::newRow("20 frames streamed") << 20 << 210 << 0us << true;
    QTest::newRow("10 frames streamed every 10 ms") << 10 << 210 << 10000us << true;
}

void TestVirtualInstrument::burstsKeepToTheLineRate()
{
    QFETCH(int, frames);
    QFETCH(int, burstLength);
    QFETCH(std::chrono::microseconds, interval);
    QFETCH(bool, streamed);
    VirtualInstrument instrument;
    instrument.setBurstLength(burstLength);
    instrument.setFrameInterval(interval);
    instrument.setFrameSource([](std::uint64_t index) { return filledFrame(std::uint8_t(index)); });
    QVERIFY(instrument.open());
    PortEnd port(instrument.devicePath());

    const auto since = std::chrono::steady_clock::now();
    if (streamed) {
        instrument.startStreaming();
    } else {
        for (int i = 0; i < frames; ++i)
            QVERIFY(instrument.sendFrame(filledFrame(std::uint8_t(i))));
    }
    const QByteArray all = port.read(qsizetype(frames) * burstLength);
    const auto took = std::chrono::steady_clock::now() - since;
    instrument.stopStreaming();

    QCOMPARE(all.size(), qsizetype(frames) * burstLength);
    for (int i = 0; i < frames; ++i)
        QCOMPARE(all.mid(qsizetype(i) * burstLength, SAMPLES_PER_FRAME),
                 frameBytes(filledFrame(std::uint8_t(i))));
    // Only a lower bound: the line may never go faster, a loaded machine may go slower.
    const auto perBurst =
        std::max<std::chrono::nanoseconds>(VirtualInstrument::kByteTime * burstLength, interval);
    QVERIFY2(
        took >= perBurst * (frames - 1),
        qPrintable(QStringLiteral("%1 frames in %2 µs")
                       .arg(frames)
                       .arg(std::chrono::duration_cast<std::chrono::microseconds>(took).count())));
}

void TestVirtualInstrument::runCommandStartsAndStopsStreaming_data()
{
    QTest::addColumn<bool>("streamOnRun");
    QTest::newRow("streaming on run") << true;
    QTest::newRow("run recorded, nothing streamed") << false;
}

void TestVirtualInstrument::runCommandStartsAndStopsStreaming()
{
    QFETCH(bool, streamOnRun);
    VirtualInstrument instrument;
    instrument.setStreamOnRun(streamOnRun);
    instrument.setFrameSource([](std::uint64_t index) { return filledFrame(std::uint8_t(index)); });
    QVERIFY(instrument.open());
    PortEnd port(instrument.devicePath());

    QVERIFY(port.write(toBytes(command(Opcode::CMD_RUN, 0, 0, 1))));
    QVERIFY(instrument.waitForCommands(1, kTimeout));
    QVERIFY(instrument.isRunning());
    QCOMPARE(instrument.isStreaming(), streamOnRun);
    constexpr int kSeen = 3;
    if (streamOnRun) {
        for (int i = 0; i < kSeen; ++i)
            QCOMPARE(port.read(FRAME_RX_THRESHOLD),
                     frameBytes(filledFrame(std::uint8_t(i))) +
                         QByteArray(FRAME_RX_THRESHOLD - SAMPLES_PER_FRAME, char(SAMPLE_OFFSET)));
    }

    QVERIFY(port.write(toBytes(command(Opcode::CMD_RUN, 0, 0, 0))));
    QVERIFY(instrument.waitForCommands(2, kTimeout));
    QVERIFY(!instrument.isRunning());
    QVERIFY(!instrument.isStreaming());
    // Frames already on their way before the stop, then nothing more.
    const QByteArray rest = readUpToMarker(port, instrument);
    const int seen = streamOnRun ? kSeen : 0;
    QCOMPARE(rest.size(), qsizetype(instrument.framesSent() - seen) * FRAME_RX_THRESHOLD);
    QCOMPARE(readUpToMarker(port, instrument), QByteArray());
}

void TestVirtualInstrument::comLinkIsPlacedAndRemoved_data()
{
    QTest::addColumn<int>("portNumber");
    QTest::addColumn<QString>("earlier"); // a COM link there already: "own" is the new device
    QTest::addColumn<bool>("byClose");
    QTest::addColumn<bool>("placed");
    QTest::newRow("COM1, removed on destruction") << 1 << "" << false << true;
    // A killed run's link: to a pseudo-terminal gone (no number is that high), or now its own.
    QTest::newRow("COM3 over a link to a gone device") << 3 << "/dev/pts/1048576" << false << true;
    QTest::newRow("COM3 over a link to its own device") << 3 << "own" << false << true;
    QTest::newRow("COM255, removed by close") << 255 << "" << true << true;
    QTest::newRow("COM0 refused") << 0 << "" << false << false;
    QTest::newRow("COM256 refused") << 256 << "" << false << false;
}

void TestVirtualInstrument::comLinkIsPlacedAndRemoved()
{
    QFETCH(int, portNumber);
    QFETCH(QString, earlier);
    QFETCH(bool, byClose);
    QFETCH(bool, placed);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString link = dir.filePath(QStringLiteral("COM%1").arg(portNumber));
    auto instrument = std::make_unique<VirtualInstrument>();
    QVERIFY(instrument->open());
    if (!earlier.isEmpty())
        QVERIFY(QFile::link(earlier == u"own" ? instrument->devicePath() : earlier, link));
    QCOMPARE(instrument->placeLink(dir.path(), portNumber), placed);
    if (placed) {
        QCOMPARE(instrument->linkPath(), link);
        QCOMPARE(QFileInfo(link).symLinkTarget(), instrument->devicePath());
        PortEnd port(link);
        QVERIFY(port.isOpen());
        QVERIFY(port.write(kGreeting));
        QCOMPARE(port.read(1), QByteArray(1, char(DEVICE_ACK)));
    } else {
        QVERIFY(!instrument->errorString().isEmpty());
        QVERIFY(instrument->linkPath().isEmpty());
    }
    if (byClose)
        instrument->close();
    else
        instrument.reset();
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(QDir(dir.path()).isEmpty(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot));
}

void TestVirtualInstrument::aFileNamedLikeTheLinkIsLeftAlone()
{
    QTemporaryDir dir;
    QFile file(dir.filePath(QStringLiteral("COM2")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    {
        VirtualInstrument instrument;
        QVERIFY(instrument.open());
        QVERIFY(!instrument.placeLink(dir.path(), 2));
        QVERIFY(!instrument.errorString().isEmpty());
    }
    QVERIFY(QFileInfo(file.fileName()).isFile());
}

void TestVirtualInstrument::lineOutlivesTheProgramClosingIt()
{
    VirtualInstrument instrument;
    QVERIFY(instrument.open());
    const QByteArray ack(1, char(DEVICE_ACK));
    {
        PortEnd port(instrument.devicePath());
        QVERIFY(port.write(kGreeting));
        QCOMPARE(port.read(1), ack);
    }
    // Sent while no program has the device open: it waits in the line for the next one.
    QVERIFY(instrument.sendFrame(filledFrame(7)));
    QVERIFY(instrument.waitForFramesSent(1, kTimeout));
    PortEnd port(instrument.devicePath());
    QVERIFY(port.isOpen());
    QCOMPARE(port.read(SAMPLES_PER_FRAME), frameBytes(filledFrame(7)));
    QVERIFY(port.write(kGreeting));
    QCOMPARE(port.read(FRAME_RX_THRESHOLD - SAMPLES_PER_FRAME + 1).right(1), ack);
    QCOMPARE(readUpToMarker(port, instrument), QByteArray());
    QCOMPARE(instrument.acksSent(), 2);
}

void TestVirtualInstrument::pulledPlugHangsUpAndReplugComesBack()
{
    QTemporaryDir dir;
    const QString link = dir.filePath(QStringLiteral("COM4"));
    const QByteArray ack(1, char(DEVICE_ACK));
    VirtualInstrument instrument;
    QVERIFY(instrument.open());
    QVERIFY(instrument.placeLink(dir.path(), 4));
    const QString firstDevice = instrument.devicePath();
    PortEnd port(link);
    QVERIFY(port.write(kGreeting));
    QCOMPARE(port.read(1), ack);

    instrument.pullPlug();
    QVERIFY(!instrument.isOpen());
    QVERIFY(instrument.devicePath().isEmpty());
    QVERIFY(!instrument.sendFrame(filledFrame(0)));
    // The program's end is hung up at once: poll says so, writes fail with EIO.
    pollfd p{port.fd(), POLLIN | POLLOUT, 0};
    QCOMPARE(::poll(&p, 1, int(std::chrono::milliseconds(kTimeout).count())), 1);
    QVERIFY(p.revents & POLLHUP);
    errno = 0;
    QCOMPARE(::write(port.fd(), "\0\0\0\0", 4), ssize_t(-1));
    QCOMPARE(errno, EIO);
    // The device is gone; the link stays, dangling, and opening it fails.
    QVERIFY(!QFileInfo::exists(firstDevice));
    QVERIFY(QFileInfo(link).isSymLink());
    QVERIFY(!QFileInfo::exists(link));
    QVERIFY(!PortEnd(link).isOpen());

    QVERIFY2(instrument.replug(), qPrintable(instrument.errorString()));
    QVERIFY(instrument.isOpen());
    QCOMPARE(QFileInfo(link).symLinkTarget(), instrument.devicePath());
    PortEnd again(link);
    QVERIFY(again.isOpen());
    QVERIFY(again.write(kGreeting));
    QCOMPARE(again.read(1), ack);
    QCOMPARE(readUpToMarker(again, instrument), QByteArray());
    QCOMPARE(instrument.acksSent(), 2);
    QCOMPARE(instrument.commandCount(), 4);
}

void TestVirtualInstrument::shutdownIsNotHeldUp_data()
{
    QTest::addColumn<int>("situation");
    QTest::newRow("a megabyte that nobody reads") << 0;
    QTest::newRow("streaming that nobody reads") << 1;
    QTest::newRow("an acknowledgement due in a minute") << 2;
}

void TestVirtualInstrument::shutdownIsNotHeldUp()
{
    QFETCH(int, situation);
    QTemporaryDir dir;
    auto instrument = std::make_unique<VirtualInstrument>();
    QVERIFY(instrument->open());
    QVERIFY(instrument->placeLink(dir.path(), 9));
    PortEnd port(instrument->devicePath());
    switch (situation) {
    case 0: {
        constexpr qsizetype kMegabyte = 1 << 20;
        QVERIFY(instrument->sendRaw(QByteArray(kMegabyte, 'x')));
        QTRY_VERIFY_WITH_TIMEOUT(instrument->bytesSent() > 0, 5000);
        QVERIFY(instrument->bytesSent() < std::uint64_t(kMegabyte));
        break;
    }
    case 1:
        instrument->startStreaming();
        QVERIFY(instrument->waitForFramesSent(2, kTimeout));
        break;
    case 2:
        instrument->setAckBehaviour(VirtualInstrument::AckBehaviour::after(1min));
        QVERIFY(port.write(kGreeting));
        QVERIFY(instrument->waitForCommands(2, kTimeout));
        break;
    }
    instrument.reset();
    QVERIFY(QDir(dir.path()).isEmpty(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot));
    pollfd p{port.fd(), POLLIN, 0};
    QCOMPARE(::poll(&p, 1, int(std::chrono::milliseconds(kTimeout).count())), 1);
    QVERIFY(p.revents & POLLHUP);
}

QTEST_GUILESS_MAIN(TestVirtualInstrument)
#include "tst_virtualinstrument.moc"
