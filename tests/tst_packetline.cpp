// The read rule on a line that hands the instrument's bytes over in packets, as a USB adapter
// does, through the real serial stack: the program reads once 210 bytes wait, takes everything
// waiting as one read, judges its first 200 bytes and drops the rest, with no resynchronisation.
// Which reads happen depends on how the packets fall and on when the program gets to them, so
// the test takes the reads that actually happened (every judged read, from frameJudged) and
// checks them against the rule: each verdict is the one its first 200 bytes give, each read
// holds 210 bytes or more, and the reads joined are exactly the bytes sent, or all of them but a
// tail still waiting, so each byte was read once and in order. Bursts with a pause after each
// are read one burst a read.

#include "tests/testsupport.h"

#include <QTest>

#include <cmath>
#include <numbers>

using namespace lumatrax;

namespace {

constexpr int kTimeoutMs = 20000;

// Burst `k`: a ringing whose size steps from piece to piece, so that some go outside the guides
// and some stay inside, padded to 210 bytes as the instrument pads it.
QByteArray burst(int k)
{
    QByteArray bytes(FRAME_RX_THRESHOLD, char(SAMPLE_OFFSET));
    const double amplitude = 20.0 + 25.0 * (k % 5);
    for (int i = 0; i < SAMPLES_PER_FRAME; ++i)
        bytes[i] =
            char(std::lround(SAMPLE_OFFSET + amplitude * std::sin(2 * std::numbers::pi *
                                                                  (3.0 * i / 200 + k / 7.0))));
    return bytes;
}

} // namespace

class TestPacketLine : public QObject
{
    Q_OBJECT
private slots:
    void everyReadIsJudgedByTheRule_data();
    void everyReadIsJudgedByTheRule();
};

void TestPacketLine::everyReadIsJudgedByTheRule_data()
{
    QTest::addColumn<int>("packet");
    QTest::addColumn<bool>("paused");
    QTest::addColumn<int>("bursts");
    QTest::newRow("62-byte packets, a pause after each burst") << 62 << true << 12;
    QTest::newRow("62-byte packets, back to back") << 62 << false << 40;
    QTest::newRow("16-byte packets, a pause after each burst") << 16 << true << 12;
    QTest::newRow("16-byte packets, back to back") << 16 << false << 40;
}

void TestPacketLine::everyReadIsJudgedByTheRule()
{
    QFETCH(int, packet);
    QFETCH(bool, paused);
    QFETCH(int, bursts);
    test::Rig rig(1);
    QVERIFY(rig.usePackets(packet));
    QVERIFY2(rig.startDetected(kTimeoutMs), "the acknowledgement did not get through in a packet");
    rig.setGuides(30, 70);

    QByteArray sent;
    for (int k = 0; k < bursts; ++k) {
        sent += burst(k);
        if (paused) // the next burst goes once this one has been read: the line has paused
            QVERIFY(rig.sendAndJudge(burst(k), 1, kTimeoutMs));
        else // queued together, they run on in one stream
            QVERIFY(rig.instrument.sendRaw(burst(k)));
    }
    const auto joined = [&] {
        QByteArray bytes;
        for (const test::Rig::Judged& j : rig.judged)
            bytes += j.read;
        return bytes;
    };
    // Whatever the reads were, they take every byte but fewer than 210 still waiting.
    QTRY_VERIFY_WITH_TIMEOUT(joined().size() > sent.size() - FRAME_RX_THRESHOLD, kTimeoutMs);

    QVERIFY2(rig.firstMismatch.isEmpty(), qPrintable(rig.firstMismatch));
    QVERIFY(sent.startsWith(joined()));
    for (const test::Rig::Judged& j : rig.judged) {
        QVERIFY(j.read.size() >= FRAME_RX_THRESHOLD);
        if (paused)
            QCOMPARE(j.read.size(), FRAME_RX_THRESHOLD);
    }
    if (paused)
        QCOMPARE(rig.judged.size(), std::size_t(bursts));
}

QTEST_MAIN(TestPacketLine)
#include "tst_packetline.moc"
