#include "link/comname.h"
#include "link/protocol.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace lumatrax;

Q_DECLARE_METATYPE(lumatrax::Command)

class TestProtocol : public QObject
{
    Q_OBJECT
private slots:
    void commandsHaveTheirFourBytes_data();
    void commandsHaveTheirFourBytes();
    void triggerLevelCodeIsBigEndian_data();
    void triggerLevelCodeIsBigEndian();
    void triggerLevelOutsideTheSliderIsRefused();
    void samplesAreBytesLessOneTwentyEight_data();
    void samplesAreBytesLessOneTwentyEight();
    void longReadKeepsTheFirstFrameOnly();
    void shortReadDecodesNothing();
    void acknowledgementIsExactlyOneByte_data();
    void acknowledgementIsExactlyOneByte();
    void comNumberResolvesToADevice_data();
    void comNumberResolvesToADevice();
};

void TestProtocol::commandsHaveTheirFourBytes_data()
{
    QTest::addColumn<Command>("command");
    QTest::addColumn<Command>("bytes");
    QTest::newRow("SYNC_FRAME") << SYNC_FRAME << Command{0, 0, 0, 0};
    QTest::newRow("CMD_HELLO") << CMD_HELLO << Command{64, 0, 0, 0};
    QTest::newRow("CMD_RUN run") << command(Opcode::CMD_RUN, 0, 0, 1) << Command{128, 0, 0, 1};
    QTest::newRow("CMD_RUN stop") << command(Opcode::CMD_RUN) << Command{128, 0, 0, 0};
    QTest::newRow("CMD_TRIG_LEVEL")
        << command(Opcode::CMD_TRIG_LEVEL, 0, 1, 244) << Command{129, 0, 1, 244};
    QTest::newRow("CMD_TRIG_EDGE falling")
        << command(Opcode::CMD_TRIG_EDGE, 0, 0, 1) << Command{130, 0, 0, 1};
    QTest::newRow("CMD_TIMEBASE 20ms")
        << command(Opcode::CMD_TIMEBASE, 0, 0, 8) << Command{131, 0, 0, 8};
}

void TestProtocol::commandsHaveTheirFourBytes()
{
    QFETCH(Command, command);
    QFETCH(Command, bytes);
    QCOMPARE(command, bytes);
    const QByteArray wire = toBytes(command);
    QCOMPARE(wire.size(), 4);
    for (int i = 0; i < 4; ++i)
        QCOMPARE(std::uint8_t(wire.at(i)), bytes[i]);
}

void TestProtocol::triggerLevelCodeIsBigEndian_data()
{
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("high");
    QTest::addColumn<int>("low");
    QTest::newRow("top, code 1000") << 0 << 3 << 232;
    QTest::newRow("1, code 980") << 1 << 3 << 212;
    QTest::newRow("24, code 520") << 24 << 2 << 8;
    QTest::newRow("25, code 500") << 25 << 1 << 244;
    QTest::newRow("26, code 480") << 26 << 1 << 224;
    QTest::newRow("49, code 20") << 49 << 0 << 20;
    QTest::newRow("bottom, code 0") << 50 << 0 << 0;
}

void TestProtocol::triggerLevelCodeIsBigEndian()
{
    QFETCH(int, value);
    QFETCH(int, high);
    QFETCH(int, low);
    const auto bytes = trigLevelBytes(value);
    QVERIFY(bytes);
    QCOMPARE(int(bytes->high), high);
    QCOMPARE(int(bytes->low), low);
}

void TestProtocol::triggerLevelOutsideTheSliderIsRefused()
{
    QVERIFY(!trigLevelBytes(51));         // negative code
    QVERIFY(!trigLevelBytes(-13000));     // code 261000: high byte past 255
    QVERIFY(!trigLevelBytes(-120000000)); // past 32 bits
    QVERIFY(!trigLevelBytes(std::numeric_limits<std::int32_t>::min()));
}

void TestProtocol::samplesAreBytesLessOneTwentyEight_data()
{
    QTest::addColumn<int>("byte");
    QTest::addColumn<int>("sample");
    QTest::newRow("0") << 0 << -128;
    QTest::newRow("1") << 1 << -127;
    QTest::newRow("127") << 127 << -1;
    QTest::newRow("128") << 128 << 0;
    QTest::newRow("255") << 255 << 127;
}

void TestProtocol::samplesAreBytesLessOneTwentyEight()
{
    QFETCH(int, byte);
    QFETCH(int, sample);
    QByteArray read(200, char(0x80));
    read[0] = char(byte);
    read[199] = char(byte);
    std::array<std::int16_t, 201> samples{};
    QVERIFY(decodeFrame(read, samples));
    QCOMPARE(int(samples[0]), sample);
    QCOMPARE(int(samples[199]), sample);
    QCOMPARE(int(samples[100]), 0);
    QCOMPARE(int(samples[200]), 0);
}

void TestProtocol::longReadKeepsTheFirstFrameOnly()
{
    QByteArray read;
    for (int i = 0; i < 215; ++i)
        read.append(char(i));
    std::array<std::int16_t, 201> samples{};
    samples[200] = 7; // never written by decoding
    QVERIFY(decodeFrame(read, samples));
    QCOMPARE(int(samples[199]), 199 - 128);
    QCOMPARE(int(samples[200]), 7);
}

void TestProtocol::shortReadDecodesNothing()
{
    std::array<std::int16_t, 201> samples{};
    samples.fill(5);
    QVERIFY(!decodeFrame(QByteArray(199, char(0)), samples));
    QVERIFY(!decodeFrame(QByteArray(), samples));
    for (std::int16_t s : samples)
        QCOMPARE(int(s), 5);
}

void TestProtocol::acknowledgementIsExactlyOneByte_data()
{
    QTest::addColumn<QByteArray>("read");
    QTest::addColumn<bool>("acknowledged");
    QTest::newRow("172") << QByteArray(1, char(172)) << true;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("other byte") << QByteArray(1, char(171)) << false;
    QTest::newRow("172 172") << QByteArray(2, char(172)) << false;
    QTest::newRow("172 then more") << QByteArray("\xAC\x00", 2) << false;
    QTest::newRow("byte then 172") << QByteArray("\x00\xAC", 2) << false;
}

void TestProtocol::acknowledgementIsExactlyOneByte()
{
    QFETCH(QByteArray, read);
    QFETCH(bool, acknowledged);
    QCOMPARE(isDeviceAck(read), acknowledged);
}

void TestProtocol::comNumberResolvesToADevice_data()
{
    QTest::addColumn<int>("number");
    QTest::addColumn<QString>("entry");    // what lies in the start-up directory
    QTest::addColumn<QString>("expected"); // relative: in the start-up directory
    QTest::newRow("COM1 without entry") << 1 << ""
                                        << "/dev/ttyS0";
    QTest::newRow("COM255 without entry") << 255 << ""
                                          << "/dev/ttyS254";
    QTest::newRow("link present") << 3 << "COM3"
                                  << "COM3";
    QTest::newRow("dangling link still wins") << 4 << "COM4->/nonexistent"
                                              << "COM4";
    QTest::newRow("another port's link ignored") << 5 << "COM3"
                                                 << "/dev/ttyS4";
    QTest::newRow("COM12 not COM1") << 12 << "COM1"
                                    << "/dev/ttyS11";
}

void TestProtocol::comNumberResolvesToADevice()
{
    QFETCH(int, number);
    QFETCH(QString, entry);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (entry.contains("->")) {
        const QStringList parts = entry.split("->");
        QVERIFY(QFile::link(parts[1], dir.filePath(parts[0])));
    } else if (!entry.isEmpty()) {
        QVERIFY(QFile::link("/dev/null", dir.filePath(entry)));
    }
    const QString want = expected.startsWith('/') ? expected : QDir(dir.path()).filePath(expected);
    QCOMPARE(comDevicePath(number, dir.path()), want);
    QCOMPARE(comName(number), "COM" + QString::number(number));
}

QTEST_APPLESS_MAIN(TestProtocol)
#include "tst_protocol.moc"
