#include "link/configfile.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace lumatrax;

namespace {

QByteArray readAll(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes), bytes.size());
}

} // namespace

class TestConfigFile : public QObject
{
    Q_OBJECT
private slots:
    void leadingIntegerIsThePort_data();
    void leadingIntegerIsThePort();
    void portIsWrittenAsDigitsAndCrLf_data();
    void portIsWrittenAsDigitsAndCrLf();
    void fileLivesInTheStartDirectory();
    void writeReplacesTheWholeFile();
    void missingOrUnreadableFileGivesNoPort();
};

void TestConfigFile::leadingIntegerIsThePort_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("port"); // -1: no port
    QTest::newRow("3 CR LF") << QByteArray("3\r\n") << 3;
    QTest::newRow("255") << QByteArray("255\r\n") << 255;
    QTest::newRow("no line end") << QByteArray("12") << 12;
    QTest::newRow("blanks first") << QByteArray("  \t7\r\n") << 7;
    QTest::newRow("ends at a comma") << QByteArray("4,9\r\n") << 4;
    QTest::newRow("rest of the file ignored") << QByteArray("5\r\n6\r\ngarbage") << 5;
    QTest::newRow("text after digits") << QByteArray("8abc") << 8;
    QTest::newRow("negative as it stands") << QByteArray("-2\r\n") << -2;
    QTest::newRow("16-bit maximum") << QByteArray("32767") << 32767;
    QTest::newRow("16-bit minimum") << QByteArray("-32768") << -32768;
    QTest::newRow("past 16 bits") << QByteArray("32768") << -1;
    QTest::newRow("far past 16 bits") << QByteArray("99999999999999999999") << -1;
    QTest::newRow("empty") << QByteArray() << -1;
    QTest::newRow("only blanks") << QByteArray("   \r\n") << -1;
    QTest::newRow("not a number") << QByteArray("COM3\r\n") << -1;
    QTest::newRow("sign alone") << QByteArray("-\r\n") << -1;
    QTest::newRow("binary") << QByteArray("\x00\xff\x12", 3) << -1;
}

void TestConfigFile::leadingIntegerIsThePort()
{
    QFETCH(QByteArray, content);
    QFETCH(int, port);
    const std::optional<std::int16_t> parsed = parsePortNumber(content);
    QCOMPARE(parsed.has_value(), port != -1);
    if (parsed)
        QCOMPARE(int(*parsed), port);
}

void TestConfigFile::portIsWrittenAsDigitsAndCrLf_data()
{
    QTest::addColumn<int>("port");
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("3") << 3 << QByteArray("\x33\x0D\x0A");
    QTest::newRow("12") << 12 << QByteArray("\x31\x32\x0D\x0A");
    QTest::newRow("255") << 255 << QByteArray("255\r\n");
    QTest::newRow("0") << 0 << QByteArray("0\r\n");
    QTest::newRow("-5") << -5 << QByteArray("-5\r\n");
}

void TestConfigFile::portIsWrittenAsDigitsAndCrLf()
{
    QFETCH(int, port);
    QFETCH(QByteArray, bytes);
    QCOMPARE(formatPortNumber(std::int16_t(port)), bytes);
    QTemporaryDir dir;
    const QString path = configFilePath(dir.path());
    QCOMPARE(writePortNumber(path, std::int16_t(port)), std::nullopt);
    QCOMPARE(readAll(path), bytes);
    QCOMPARE(readPortNumber(path), std::optional<std::int16_t>(std::int16_t(port)));
}

void TestConfigFile::fileLivesInTheStartDirectory()
{
    QCOMPARE(configFilePath("/srv/line4"), QStringLiteral("/srv/line4/Lumatrax.cfg"));
}

void TestConfigFile::writeReplacesTheWholeFile()
{
    QTemporaryDir dir;
    const QString path = configFilePath(dir.path());
    writeAll(path, "200\r\nsomething longer that was here before\r\n");
    QCOMPARE(writePortNumber(path, 7), std::nullopt);
    QCOMPARE(readAll(path), QByteArray("7\r\n"));
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"Lumatrax.cfg"});
}

void TestConfigFile::missingOrUnreadableFileGivesNoPort()
{
    QTemporaryDir dir;
    QCOMPARE(readPortNumber(configFilePath(dir.path())), std::nullopt);
    QVERIFY(QDir(dir.path()).mkdir("Lumatrax.cfg")); // a directory where the file should be
    QCOMPARE(readPortNumber(configFilePath(dir.path())), std::nullopt);

    // A line of a megabyte without a line end: only its start is read.
    QTemporaryDir big;
    writeAll(configFilePath(big.path()), QByteArray(1 << 20, '9'));
    QCOMPARE(readPortNumber(configFilePath(big.path())), std::nullopt);
}

QTEST_APPLESS_MAIN(TestConfigFile)
#include "tst_configfile.moc"
