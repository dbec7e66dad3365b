// Captures of the line. Through pseudo-terminals: lumatrax-tap between the simulated instrument
// and a reader playing the program, forwarding both ways and recording every byte; the capture
// replayed by lumatrax-sim; the tap's clean ends and refusals. On files: the judge's counts on a
// capture made by hand, a cut capture read back to its last whole record, a damaged record
// skipped by the judge, the frame count and the replay alike, foreign and newer files refused. The
// judge's table and the tap's capture written to what is no regular file: a link, a named pipe, a
// device, a directory.

#include "link/protocol.h"
#include "tests/portend.h"
#include "tests/systemfaults.h"
#include "tests/testsupport.h"
#include "tools/capture/captureframecounter.h"
#include "tools/capture/capturejudge.h"
#include "tools/capture/capturereader.h"
#include "tools/capture/capturewriter.h"
#include "tools/capture/replayscript.h"
#include "tools/sim/simulator.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QPushButton>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>
#include <QtEndian>

#include <csignal>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

using namespace lumatrax;
using namespace std::chrono_literals;
using test::PortEnd;

namespace {

constexpr auto kTimeout = 5s;
constexpr int kTimeoutMs = 5000;
constexpr int kBurst = FRAME_RX_THRESHOLD;
constexpr int kFrames = 40;
constexpr auto I = CaptureDirection::ToProgram;
constexpr auto P = CaptureDirection::ToInstrument;

const QByteArray kGreeting = toBytes(SYNC_FRAME) + toBytes(CMD_HELLO);
const QByteArray kAck(1, char(DEVICE_ACK));
const QByteArray kRun = toBytes(command(Opcode::CMD_RUN, 0, 0, 1));
const QByteArray kStop = toBytes(command(Opcode::CMD_RUN, 0, 0, 0));

QByteArray everyByteValue()
{
    QByteArray bytes(256, '\0');
    for (int b = 0; b < 256; ++b)
        bytes[b] = char(b);
    return bytes;
}

// One of the tools in a process of its own; asked to end with SIGTERM if still running.
class Program
{
public:
    Program(const char* path, const QStringList& arguments)
    {
        m_process.start(QString::fromUtf8(path), arguments);
    }
    ~Program()
    {
        if (m_process.state() != QProcess::NotRunning)
            end(SIGTERM);
        m_process.waitForFinished();
    }
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // Waits for a line of its standard output matching `pattern`.
    bool waitForLine(const QString& pattern)
    {
        const QRegularExpression re(pattern);
        const QDeadlineTimer deadline(kTimeout);
        while (!deadline.hasExpired()) {
            while (m_process.canReadLine()) {
                const QByteArray line = m_process.readLine();
                m_out += line;
                if (re.match(QString::fromUtf8(line.trimmed())).hasMatch())
                    return true;
            }
            m_process.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime())));
        }
        return false;
    }
    // Sends `signal` (none: just waits) and returns its exit code; -1 if it does not end.
    int end(int signal = 0)
    {
        if (signal != 0)
            ::kill(pid_t(m_process.processId()), signal);
        if (!m_process.waitForFinished(kTimeoutMs))
            return -1;
        m_out += m_process.readAllStandardOutput();
        m_err += m_process.readAllStandardError();
        return m_process.exitCode();
    }
    [[nodiscard]] QString output() const { return QString::fromUtf8(m_out + m_err); }

private:
    QProcess m_process;
    QByteArray m_out;
    QByteArray m_err;
};

struct CaptureContents
{
    QString refused;
    QString warning;
    CaptureHeader header;
    std::vector<CaptureRecord> records;
    QByteArray each[2]; // the bytes to the program, and to the instrument
};

CaptureContents readCapture(const QString& path)
{
    CaptureContents contents;
    CaptureReader reader;
    if (const auto refused = reader.open(path)) {
        contents.refused = *refused;
        return contents;
    }
    while (const auto record = reader.next()) {
        contents.records.push_back(*record);
        contents.each[record->direction == I ? 0 : 1] += record->bytes;
    }
    contents.header = reader.header();
    contents.warning = reader.warnings().join(u'\n');
    return contents;
}

// A capture made by hand, record by record, each starting where `starts` says.
struct HandMade
{
    QByteArray file = encodeCaptureHeader({});
    std::vector<qsizetype> starts;
    std::vector<CaptureRecord> records;

    void add(CaptureDirection direction, std::int64_t atUs, const QByteArray& bytes)
    {
        starts.push_back(file.size());
        records.push_back({direction, atUs, bytes});
        appendCaptureRecord(file, direction, atUs, bytes);
    }
    void addFrame(std::int64_t atUs, QByteArray samples,
                  QByteArray tail = QByteArray(10, char(128)))
    {
        add(I, atUs, samples + tail);
    }
};

// A 200-sample frame of `fill` with some samples set: {index, byte}.
QByteArray frame(int fill, std::initializer_list<std::pair<int, int>> set = {})
{
    QByteArray samples(SAMPLES_PER_FRAME, char(fill));
    for (const auto& [index, byte] : set)
        samples[index] = char(byte);
    return samples;
}

// Heights on the 4815-twip screen: byte 255 -> 0, 191 -> 1204, 128 -> 2389, 127 -> 2408,
// 126 -> 2426, 0 -> 4796. Guides: 25 -> 1204, 50 -> 2408, 75 -> 3611.
HandMade handMadeCapture()
{
    HandMade c;
    c.add(I, 0, QByteArray(300, char(255))); // before any greeting: no frame
    c.add(P, 10, kGreeting);
    c.add(I, 20, kAck);
    c.add(P, 30, kRun);             // only a detected program runs: the check has passed
    c.addFrame(5'000, frame(127));  // level with 50
    c.addFrame(10'000, frame(128)); // just above 50
    c.addFrame(15'000, frame(127, {{7, 255}}));                        // above both settings
    c.addFrame(20'000, frame(127, {{99, 0}}));                         // below both
    c.addFrame(25'000, frame(127, {{3, 255}, {150, 0}}));              // both ways
    c.add(I, 30'000, frame(126).first(100));                           // one burst in two reads:
    c.add(I, 31'000, frame(126).mid(100) + QByteArray(15, char(255))); // 215, the rest dropped
    c.addFrame(40'000, frame(127), QByteArray(100, char(0)));          // 300, the rest dropped
    c.add(I, 45'000, QByteArray(150, char(0)));                        // waits for more: no read
    c.add(P, 100'000, kGreeting);                                      // answered with more than
    c.add(I, 100'100, kAck + char(1));                                 // the acknowledgement:
    c.addFrame(1'200'000, frame(0));                                   // silent, no frames
    c.add(P, 1'300'000, kGreeting);
    c.add(I, 1'300'100, kAck);
    c.addFrame(2'500'000, frame(127, {{60, 191}})); // after the check a second on: level with 25
    return c;
}

bool save(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

// What a tool is given to write to, placed at `path`: "link" (to `path`.target, not there yet),
// "pipe" (read from the descriptor returned), "pipe without a reader", "directory", and "null"
// and "full", character devices like /dev/null and /dev/full. A device node is the test's own
// where it may make one (as root), elsewhere the system's through a link. -1 when it cannot be
// placed; else the reader's descriptor or 0.
int placeOutput(const QString& standing, const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    if (standing == u"link")
        return QFile::link(path + QStringLiteral(".target"), path) ? 0 : -1;
    if (standing.startsWith(u"pipe")) {
        if (::mkfifo(name.constData(), 0600) != 0)
            return -1;
        return standing == u"pipe" ? ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC)
                                   : 0;
    }
    if (standing == u"directory")
        return QDir().mkdir(path) ? 0 : -1;
    const bool full = standing == u"full";
    if (::mknod(name.constData(), S_IFCHR | 0666, makedev(1, full ? 7 : 3)) == 0)
        return 0;
    if (test::runningAsRoot())
        return -1;
    return QFile::link(QLatin1String(full ? "/dev/full" : "/dev/null"), path) ? 0 : -1;
}

// Everything waiting in a pipe whose writer has gone.
QByteArray drain(int fd)
{
    QByteArray all;
    char block[4096];
    ssize_t n = 0;
    while ((n = ::read(fd, block, sizeof block)) > 0)
        all.append(block, n);
    return all;
}

mode_t kindAt(const QString& path)
{
    struct stat status = {};
    return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_mode & S_IFMT : 0;
}

void addOutputRows(int pipeWithoutReaderExit)
{
    QTest::addColumn<QString>("standing");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::newRow("symbolic link to a new name") << "link" << 0 << "";
    QTest::newRow("named pipe with a reader") << "pipe" << 0 << "";
    QTest::newRow("named pipe without a reader")
        << "pipe without a reader" << pipeWithoutReaderExit << "No process reads";
    QTest::newRow("directory") << "directory" << 1 << "Is a directory";
    QTest::newRow("null device") << "null" << 0 << "";
}

} // namespace

class TestCapture : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void tapForwardsBothWaysAndRecordsEveryByte();
    void judgeSeesEveryPieceOfTheSimulatorAsItWasMade();
    void replayReachesTheProgramWithTheSameFrames();
    void theWindowJudgesAReplayAsTheJudgeJudgesTheCapture();
    void judgeCountsAsWorkedOutByHand_data();
    void judgeCountsAsWorkedOutByHand();
    void judgePrintsFramesSummaryAndTable();
    void judgeWarnsWhenReadsShiftTheFrames_data();
    void judgeWarnsWhenReadsShiftTheFrames();
    void cutCaptureReadsBackToItsLastWholeRecord_data();
    void cutCaptureReadsBackToItsLastWholeRecord();
    void damagedRecordIsSkippedAndReadingGoesOn_data();
    void damagedRecordIsSkippedAndReadingGoesOn();
    void foreignAndNewerFilesAreRefused_data();
    void foreignAndNewerFilesAreRefused();
    void tapEndsCleanly_data();
    void tapEndsCleanly();
    void tapRefusesToStartWithAReason_data();
    void tapRefusesToStartWithAReason();
    void tapGoesOnForwardingWhenTheCaptureFileFails();
    void judgeWritesItsTableToWhatIsNotAFile_data();
    void judgeWritesItsTableToWhatIsNotAFile();
    void tapCapturesIntoWhatIsNotAFile_data() { addOutputRows(1); }
    void tapCapturesIntoWhatIsNotAFile();

private:
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QString makeDir(const QString& name) const
    {
        QDir(m_dir.path()).mkpath(name);
        return path(name);
    }

    QTemporaryDir m_dir;
    SimOptions m_sim;
    QString m_capture;
    QByteArray m_read;    // what the reader playing the program received
    QByteArray m_written; // what it wrote
    QByteArray m_frames;  // the frame bursts among what it received
    QByteArray m_instrumentReceived;
};

// The line of every test that uses it: the simulator streaming pieces, the tap between it and a
// reader that plays the program. Before the greeting every byte value crosses both ways.
void TestCapture::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_sim.directory = makeDir(QStringLiteral("instrument"));
    m_sim.port = 2;
    m_sim.pieces.seed = 11;
    m_sim.pieces.rejectShare = 0.4;
    Simulator sim(m_sim);
    QVERIFY2(sim.start(), qPrintable(sim.errorString()));
    m_capture = path(QStringLiteral("line.lmxcap"));
    Program tap(LUMATRAX_TAP_PROGRAM,
                {QStringLiteral("--device"), sim.instrument().linkPath(), QStringLiteral("--dir"),
                 makeDir(QStringLiteral("program")), QStringLiteral("--port"), QStringLiteral("3"),
                 QStringLiteral("--out"), m_capture});
    QVERIFY2(tap.waitForLine(QStringLiteral("Ctrl-C ends$")), qPrintable(tap.output()));
    PortEnd port(path(QStringLiteral("program/COM3")));
    QVERIFY(port.isOpen());

    QVERIFY(sim.instrument().sendRaw(everyByteValue()));
    m_read = port.read(256);
    m_written = everyByteValue() + kGreeting;
    QVERIFY(port.write(m_written));
    m_read += port.read(1);
    QVERIFY(port.write(kRun));
    m_frames = port.read(kFrames * kBurst);
    QCOMPARE(m_frames.size(), kFrames * kBurst);
    QVERIFY(port.write(kStop));
    m_written += kRun + kStop;
    QTRY_VERIFY_WITH_TIMEOUT(!sim.instrument().isRunning(), kTimeoutMs);
    // Whatever was on its way when RUN 0 came.
    m_frames +=
        port.read(qsizetype(sim.instrument().bytesSent()) - m_read.size() - m_frames.size());
    m_read += m_frames;
    QCOMPARE(m_frames.size(), qsizetype(sim.instrument().framesSent()) * kBurst);
    m_instrumentReceived = sim.instrument().received();
    QCOMPARE(tap.end(SIGINT), 0);
}

void TestCapture::tapForwardsBothWaysAndRecordsEveryByte()
{
    QCOMPARE(m_read.first(257), everyByteValue() + kAck);
    QCOMPARE(m_instrumentReceived, m_written);

    const CaptureContents capture = readCapture(m_capture);
    QVERIFY2(capture.refused.isEmpty() && capture.warning.isEmpty(),
             qPrintable(capture.refused + capture.warning));
    QCOMPARE(capture.each[0], m_read);
    QCOMPARE(capture.each[1], m_written);
    QCOMPARE(capture.header.line, LineSettings{});
    QCOMPARE(capture.header.device, path(QStringLiteral("instrument/COM2")));
    // Every byte value went to the program before the program wrote anything.
    QCOMPARE(capture.records.front().direction, I);
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("program/COM3"))));
}

void TestCapture::judgeSeesEveryPieceOfTheSimulatorAsItWasMade()
{
    const PieceModel model(m_sim.pieces);
    std::vector<Verdict> verdicts;
    std::vector<QByteArray> samples;
    const JudgeOutcome outcome = judgeCapture(m_capture, {25, 75}, [&](const JudgedFrame& f) {
        verdicts.push_back(f.verdict);
        QByteArray bytes;
        for (int k = 0; k < SAMPLES_PER_FRAME; ++k)
            bytes += char(f.samples[std::size_t(k)] + SAMPLE_OFFSET);
        samples.push_back(bytes);
    });
    QVERIFY(outcome.error.isEmpty() && outcome.warnings.isEmpty());
    QCOMPARE(qsizetype(verdicts.size()), m_frames.size() / kBurst);
    QCOMPARE(outcome.summary.frames, qint64(verdicts.size()));
    for (std::size_t n = 0; n < verdicts.size(); ++n) {
        const PieceClass kind = model.piece(n).kind;
        QCOMPARE(samples[n], m_frames.mid(qsizetype(n) * kBurst, SAMPLES_PER_FRAME));
        QCOMPARE(verdicts[n], (Verdict{kind == PieceClass::TooHigh, kind == PieceClass::TooLow}));
    }
    QVERIFY(outcome.summary.rejectedAbove > 0 && outcome.summary.rejectedBelow > 0);
}

void TestCapture::replayReachesTheProgramWithTheSameFrames()
{
    Program sim(LUMATRAX_SIM_PROGRAM,
                {QStringLiteral("--dir"), makeDir(QStringLiteral("replay")),
                 QStringLiteral("--port"), QStringLiteral("4"), QStringLiteral("--replay"),
                 m_capture, QStringLiteral("--speed"), QStringLiteral("max"),
                 QStringLiteral("--loop"), QStringLiteral("--verbose")});
    QVERIFY2(sim.waitForLine(QStringLiteral("Ctrl-C ends$")), qPrintable(sim.output()));
    PortEnd port(path(QStringLiteral("replay/COM4")));
    // The greeting is answered with the captured acknowledgement alone.
    QVERIFY(port.write(kGreeting));
    QCOMPARE(port.read(1), kAck);
    QVERIFY(port.write(kRun));
    QCOMPARE(port.read(2 * m_frames.size()), m_frames + m_frames); // looped
    QVERIFY(port.write(kStop));
    QVERIFY(sim.waitForLine(QStringLiteral("^RUN 0$")));

    // After RUN 0 only what was on its way arrives, whole records, before the next answer; and
    // after that nothing before the one after it. No frame here begins with the acknowledgement,
    // so one at the start of a record is the answer.
    for (qsizetype at = 0; at < m_frames.size(); at += kBurst)
        QVERIFY(m_frames.at(at) != char(DEVICE_ACK));
    auto upToAnswer = [&]() -> std::optional<QByteArray> {
        QByteArray bytes;
        if (!port.write(kGreeting))
            return std::nullopt;
        while (!(bytes.size() % kBurst == 1 && bytes.endsWith(char(DEVICE_ACK)))) {
            const QByteArray next = port.read(1);
            if (next.isEmpty())
                return std::nullopt;
            bytes += next;
        }
        return bytes.chopped(1);
    };
    QVERIFY(upToAnswer());
    QCOMPARE(upToAnswer(), std::optional(QByteArray()));
    QCOMPARE(sim.end(SIGINT), 0);
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("replay/COM4"))));
}

void TestCapture::theWindowJudgesAReplayAsTheJudgeJudgesTheCapture()
{
    // The program itself, started where the replaying simulator places its link.
    test::Rig rig(6, false);
    QFile::remove(QDir(rig.dir.path()).filePath(QStringLiteral("COM6")));
    Program sim(LUMATRAX_SIM_PROGRAM,
                {QStringLiteral("--dir"), rig.dir.path(), QStringLiteral("--port"),
                 QStringLiteral("6"), QStringLiteral("--replay"), m_capture,
                 QStringLiteral("--speed"), QStringLiteral("0.5")});
    QVERIFY2(sim.waitForLine(QStringLiteral("Ctrl-C ends$")), qPrintable(sim.output()));
    QVERIFY(rig.startDetected());
    rig.setGuides(25, 75);
    rig.widget<QPushButton>("cmdRun")->click();
    QTRY_COMPARE_WITH_TIMEOUT(rig.bytesJudged(), m_frames.size(), 3 * kTimeoutMs);
    const QString differ = test::readsJoinedDiffer(rig.judged, m_frames);
    QVERIFY2(differ.isEmpty(), qPrintable(differ));
    QVERIFY2(rig.firstMismatch.isEmpty(), qPrintable(rig.firstMismatch));

    // Each burst is one frame of the judge's. A machine too busy to read every burst on its own
    // makes the window read two as one, judged on the first: each read's verdict is then the
    // judge's for the burst it starts with, and the window's counts are the judge's for those.
    std::vector<Verdict> judged;
    const JudgeOutcome judge = judgeCapture(
        m_capture, {25, 75}, [&](const JudgedFrame& frame) { judged.push_back(frame.verdict); });
    QCOMPARE(judge.summary.frames, m_frames.size() / kBurst);
    JudgeSummary window;
    JudgeSummary judgeAtReads;
    qsizetype at = 0;
    for (const test::Rig::Judged& read : rig.judged) {
        QCOMPARE(at % kBurst, 0);
        QCOMPARE(read.verdict, judged[std::size_t(at / kBurst)]);
        window.add(read.verdict);
        judgeAtReads.add(judged[std::size_t(at / kBurst)]);
        at += read.read.size();
    }
    QCOMPARE(window, judgeAtReads);
    if (rig.judged.size() == judged.size())
        QCOMPARE(window, judge.summary);
}

void TestCapture::judgeCountsAsWorkedOutByHand_data()
{
    QTest::addColumn<int>("upper");
    QTest::addColumn<int>("lower");
    QTest::addColumn<QList<qint64>>("counts"); // accepted, above, below, both
    QTest::newRow("both guides at mid-height") << 50 << 50 << QList<qint64>{2, 3, 2, 1};
    QTest::newRow("a quarter and three quarters down") << 25 << 75 << QList<qint64>{5, 1, 1, 1};
}

void TestCapture::judgeCountsAsWorkedOutByHand()
{
    QFETCH(int, upper);
    QFETCH(int, lower);
    QFETCH(QList<qint64>, counts);
    const QString file = path(QStringLiteral("handmade.lmxcap"));
    QVERIFY(save(file, handMadeCapture().file));
    const JudgeOutcome outcome = judgeCapture(file, {upper, lower});
    QVERIFY(outcome.error.isEmpty() && outcome.skipped.empty());
    QCOMPARE(outcome.greetings, 3);
    QCOMPARE(outcome.acknowledged, 2);
    QCOMPARE(outcome.summary, (JudgeSummary{8, counts[0], counts[1], counts[2], counts[3]}));
}

void TestCapture::judgePrintsFramesSummaryAndTable()
{
    const QString file = path(QStringLiteral("handmade.lmxcap"));
    const QString table = path(QStringLiteral("frames.csv"));
    QVERIFY(save(file, handMadeCapture().file));
    Program judge(LUMATRAX_JUDGE_PROGRAM,
                  {file, QStringLiteral("--guides"), QStringLiteral("25,75"),
                   QStringLiteral("--frames"), QStringLiteral("--csv"), table});
    QCOMPARE(judge.end(), 3); // judged, with the warning its uneven reads draw
    const QString out = judge.output();
    QVERIFY2(out.contains(u"\n0.031000 ACCEPT 0 0 1970-01-01T00:00:00.031Z\n") &&
                 out.contains(u"\n0.025000 REJECT 1 1 1970-01-01T00:00:00.025Z\n"),
             qPrintable(out));
    for (const char* line : {"frames          8\n", "accepted        5\n", "rejected both   1\n",
                             "reject share    37.50 %\n"})
        QVERIFY2(out.contains(QLatin1String(line)), line);
    QFile csv(table);
    QVERIFY(csv.open(QIODevice::ReadOnly));
    const QList<QByteArray> rows = csv.readAll().split('\n');
    QCOMPARE(rows.size(), 1 + 8 + 1);
    QCOMPARE(rows[1].split(',').size(), 4 + SAMPLES_PER_FRAME + 1); // the wall clock last
    QVERIFY(rows[1].startsWith("0.005000,ACCEPT,0,0,-1,-1,"));

    // A table never goes over the capture it is made of.
    Program over(LUMATRAX_JUDGE_PROGRAM, {file, QStringLiteral("--csv"), file});
    QCOMPARE(over.end(), 2);
    QCOMPARE(judgeCapture(file, {}).summary.frames, 8);
}

void TestCapture::judgeWarnsWhenReadsShiftTheFrames_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("lengths");
    QTest::addColumn<QString>("warning");
    HandMade greeted;
    greeted.add(P, 0, kGreeting);
    greeted.add(I, 100, kAck);
    greeted.add(P, 200, kRun);

    HandMade paused = greeted; // whole bursts, each 4.2 ms on the line and a pause after it
    for (int k = 0; k < 4; ++k)
        paused.addFrame(10'000 * (k + 1), frame(127 + k));
    QTest::newRow("whole 210-byte bursts with pauses")
        << paused.file << "all 210 bytes"
        << "";

    // Four bursts back to back in 62-byte packets: reads of 248, 248 and 248 bytes.
    HandMade packets = greeted;
    QByteArray stream;
    for (int k = 0; k < 4; ++k)
        stream += frame(127 + k) + QByteArray(10, char(128));
    for (qsizetype at = 0; at < stream.size(); at += 62)
        packets.add(I, 10'000 + at * 20, stream.mid(at, 62));
    QTest::newRow("packets across burst boundaries")
        << packets.file << "all 248 bytes"
        << "3 of 3 reads were longer than 210 bytes (most often 248): every frame after the "
           "first may be shifted";

    HandMade longer = paused; // one read took 90 bytes of what came next
    longer.add(I, 50'000, frame(0).first(120));
    longer.add(I, 50'500, frame(0).mid(120) + QByteArray(10, char(128)) + frame(1).first(90));
    QTest::newRow("one read longer than a burst")
        << longer.file << "210 to 300 bytes, 4 of 5 of them 210 bytes"
        << "1 of 5 reads was longer than 210 bytes (most often 210): every frame after read 5 "
           "may be shifted";
}

void TestCapture::judgeWarnsWhenReadsShiftTheFrames()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, lengths);
    QFETCH(QString, warning);
    const QString name = path(QStringLiteral("reads.lmxcap"));
    QVERIFY(save(name, file));
    const JudgeOutcome outcome = judgeCapture(name, {});
    QCOMPARE(describeReadLengths(outcome.reads), lengths);
    QCOMPARE(outcome.reads.drawWarning(), !warning.isEmpty());

    Program judge(LUMATRAX_JUDGE_PROGRAM, {name});
    QCOMPARE(judge.end(), warning.isEmpty() ? 0 : 3);
    const QString out = judge.output();
    QVERIFY2(out.contains(QStringLiteral("read lengths    %1\n").arg(lengths)), qPrintable(out));
    QCOMPARE(out.count(u"warning: "), warning.isEmpty() ? 0 : 1);
    QVERIFY2(warning.isEmpty() || out.contains(QStringLiteral("warning: %1\n").arg(warning)),
             qPrintable(out));
}

void TestCapture::cutCaptureReadsBackToItsLastWholeRecord_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("records");
    QTest::addColumn<bool>("warned");
    const HandMade c = handMadeCapture();
    const auto cut = [&](qsizetype at) { return c.file.first(at); };
    QTest::newRow("in the header") << cut(kCaptureMagic.size() + 3) << 0 << true;
    QTest::newRow("in a record's head") << cut(c.starts[3] + 5) << 3 << true;
    QTest::newRow("in a record's bytes") << cut(c.starts[6] + 20) << 6 << true;
    QTest::newRow("at a record's end") << cut(c.starts[6]) << 6 << false;
    QTest::newRow("zeros after the end, as a power cut leaves")
        << c.file + QByteArray(4096, '\0') << int(c.records.size()) << true;
}

void TestCapture::cutCaptureReadsBackToItsLastWholeRecord()
{
    QFETCH(QByteArray, file);
    QFETCH(int, records);
    QFETCH(bool, warned);
    const QString name = path(QStringLiteral("cut.lmxcap"));
    QVERIFY(save(name, file));
    const CaptureContents capture = readCapture(name);
    QVERIFY2(capture.refused.isEmpty(), qPrintable(capture.refused));
    const std::vector<CaptureRecord> all = handMadeCapture().records;
    QVERIFY(capture.records == std::vector(all.begin(), all.begin() + records));
    QCOMPARE(!capture.warning.isEmpty(), warned);
}

void TestCapture::damagedRecordIsSkippedAndReadingGoesOn_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("frames");   // the fill byte of each frame found
    QTest::addColumn<QList<qint64>>("skips"); // offset, bytes, ...
    QTest::addColumn<bool>("cut");
    HandMade c;
    c.add(P, 0, kGreeting);
    c.add(I, 100, kAck);
    c.add(P, 200, kRun);
    for (int k = 0; k < 6; ++k)
        c.addFrame(10'000 * (k + 1), frame(100 + k));
    const qsizetype at = c.starts[6]; // the fourth frame's record, 221 bytes
    const QList<qint64> itsRecord{at, kCaptureRecordHeadLength + kBurst};
    const QByteArray allFrames("\x64\x65\x66\x67\x68\x69");
    const QByteArray withoutIt("\x64\x65\x66\x68\x69");
    auto damaged = [&](int field, std::uint64_t value) {
        QByteArray file = c.file;
        if (field == 0)
            file[at] = char(value);
        else if (field == 1)
            qToLittleEndian(std::uint16_t(value), file.data() + at + 1);
        else
            qToLittleEndian(value, file.data() + at + 3);
        return file;
    };
    constexpr std::uint64_t kHours2 = 7'200'000'000;
    QTest::newRow("a direction damaged") << damaged(0, 0) << withoutIt << itsRecord << false;
    QTest::newRow("a count of none") << damaged(1, 0) << withoutIt << itsRecord << false;
    QTest::newRow("a count above 4096") << damaged(1, 5000) << withoutIt << itsRecord << false;
    QTest::newRow("a count damaged into a larger sound one")
        << damaged(1, 300) << withoutIt << itsRecord << false;
    QTest::newRow("a time that goes back") << damaged(2, 29'999) << withoutIt << itsRecord << false;
    QTest::newRow("a time a minute ahead")
        << damaged(2, 40'000 + 60'000'000) << withoutIt << itsRecord << false;
    QTest::newRow("a time over an hour on")
        << damaged(2, 40'000 + kHours2) << withoutIt << itsRecord << false;
    QTest::newRow("bytes put in between records")
        << c.file.first(at) + QByteArray(37, 'x') + c.file.sliced(at) << allFrames
        << QList<qint64>{at, 37} << false;
    HandMade paused = c; // the line stood still for two hours before the fourth frame
    for (std::size_t n = 6; n < paused.records.size(); ++n)
        qToLittleEndian(std::uint64_t(paused.records[n].atUs) + kHours2,
                        paused.file.data() + paused.starts[n] + 3);
    QTest::newRow("a pause of two hours") << paused.file << allFrames << QList<qint64>{} << false;
    QByteArray pausedAndDamaged = paused.file;
    pausedAndDamaged[at] = 0;
    QTest::newRow("a direction damaged where the line stood still")
        << pausedAndDamaged << withoutIt << itsRecord << false;
    QTest::newRow("a cut inside the last record")
        << c.file.chopped(100) << allFrames.chopped(1) << QList<qint64>{} << true;
}

// The judge, the tap's frame count and the replay pass over the damaged record alone and go on.
void TestCapture::damagedRecordIsSkippedAndReadingGoesOn()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, frames);
    QFETCH(QList<qint64>, skips);
    QFETCH(bool, cut);
    const QString name = path(QStringLiteral("damaged.lmxcap"));
    QVERIFY(save(name, file));
    QByteArray found;
    const JudgeOutcome outcome = judgeCapture(
        name, {}, [&](const JudgedFrame& f) { found += char(f.samples[0] + SAMPLE_OFFSET); });
    QCOMPARE(found, frames);
    QList<qint64> skipped;
    for (const CaptureReader::Skip& skip : outcome.skipped)
        skipped << skip.offset << skip.bytes;
    QCOMPARE(skipped, skips);
    CaptureFrameCounter counter(name);
    QCOMPARE(qsizetype(counter.catchUp()), frames.size());
    ReplayScript replay;
    QVERIFY(!replay.open(name));
    QCOMPARE(replay.burstCount(), frames.size());
    CaptureReader reader;
    QVERIFY(!reader.open(name));
    while (reader.next()) {
    }
    QCOMPARE(reader.endsInsideRecord(), cut);

    Program judge(LUMATRAX_JUDGE_PROGRAM, {name});
    judge.end();
    const QString said =
        skips.isEmpty() ? QStringLiteral("ends inside a record at byte %1").arg(file.size() - 121)
                        : QStringLiteral("warning: the capture is damaged at byte %1: %2 bytes "
                                         "were skipped, and reading went on at byte %3\n")
                              .arg(skips[0])
                              .arg(skips[1])
                              .arg(skips[0] + skips[1]);
    QCOMPARE(judge.output().contains(said), !skips.isEmpty() || cut);
}

void TestCapture::foreignAndNewerFilesAreRefused_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QString>("message");
    CaptureHeader newer;
    newer.version = kCaptureVersion + 1;
    QTest::newRow("foreign") << QByteArray("PK\x03\x04 not a capture at all") << "not a Lumatrax";
    QTest::newRow("empty") << QByteArray() << "is empty";
    QTest::newRow("newer") << encodeCaptureHeader(newer) << "newer than this program reads";
}

void TestCapture::foreignAndNewerFilesAreRefused()
{
    QFETCH(QByteArray, file);
    QFETCH(QString, message);
    const QString name = path(QStringLiteral("refused.lmxcap"));
    QVERIFY(save(name, file));
    Program judge(LUMATRAX_JUDGE_PROGRAM, {name});
    QCOMPARE(judge.end(), 1);
    QVERIFY2(judge.output().contains(message), qPrintable(judge.output()));
    Program sim(LUMATRAX_SIM_PROGRAM, {QStringLiteral("--dir"), makeDir(QStringLiteral("refused")),
                                       QStringLiteral("--replay"), name});
    QCOMPARE(sim.end(), 1);
    QVERIFY2(sim.output().contains(message), qPrintable(sim.output()));
    QVERIFY(!QFileInfo::exists(path(QStringLiteral("refused/COM1"))));
}

void TestCapture::tapEndsCleanly_data()
{
    QTest::addColumn<bool>("pulled");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::newRow("Ctrl-C") << false << 0 << "removed";
    QTest::newRow("device pulled") << true << 1 << "went away";
}

void TestCapture::tapEndsCleanly()
{
    QFETCH(bool, pulled);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    SimOptions options;
    options.directory = makeDir(QStringLiteral("ends/instrument"));
    Simulator sim(options);
    QVERIFY(sim.start());
    const QString capture = path(QStringLiteral("ends/%1.lmxcap").arg(QTest::currentDataTag()));
    const QString link = makeDir(QStringLiteral("ends/program")) + QStringLiteral("/COM1");
    Program tap(LUMATRAX_TAP_PROGRAM,
                {QStringLiteral("--device"), sim.instrument().devicePath(), QStringLiteral("--dir"),
                 QFileInfo(link).path(), QStringLiteral("--out"), capture});
    QVERIFY2(tap.waitForLine(QStringLiteral("Ctrl-C ends$")), qPrintable(tap.output()));
    PortEnd port(link);
    QVERIFY(port.write(kGreeting));
    QCOMPARE(port.read(1), kAck);
    // The capture is locked while the tap writes it, and let go at its end.
    QFile held(capture);
    QVERIFY(held.open(QIODevice::ReadOnly) && CaptureWriter::isBeingWritten(held.handle()));

    if (pulled)
        sim.instrument().pullPlug();
    QCOMPARE(tap.end(pulled ? 0 : SIGINT), exitCode);
    QVERIFY(!CaptureWriter::isBeingWritten(held.handle()));
    QVERIFY2(tap.output().contains(message), qPrintable(tap.output()));
    QVERIFY(!QFileInfo(link).isSymLink());
    const CaptureContents contents = readCapture(capture);
    QVERIFY(contents.refused.isEmpty() && contents.warning.isEmpty());
    QCOMPARE(contents.each[0], kAck);
    QCOMPARE(contents.each[1], kGreeting);
}

void TestCapture::tapRefusesToStartWithAReason_data()
{
    QTest::addColumn<QString>("device"); // "pty": a pseudo-terminal of the test's own; else a
                                         // name in the directory
    QTest::addColumn<QString>("port");
    QTest::addColumn<bool>("captureExists");
    QTest::addColumn<bool>("linkExists");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("message");
    QTest::newRow("no such device") << "missing"
                                    << "1" << false << false << 1 << "No such file";
    QTest::newRow("not a serial device") << "notes.txt"
                                         << "1" << false << false << 1 << "not a serial device";
    QTest::newRow("capture file there") << "pty"
                                        << "1" << true << false << 1 << "never overwrites";
    QTest::newRow("COMn there") << "pty"
                                << "1" << false << true << 1 << "it is not replaced";
    QTest::newRow("port out of range") << "pty"
                                       << "0" << false << false << 2 << "--port";
}

void TestCapture::tapRefusesToStartWithAReason()
{
    QFETCH(QString, device);
    QFETCH(QString, port);
    QFETCH(bool, captureExists);
    QFETCH(bool, linkExists);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    const QString dir = makeDir(QStringLiteral("refusals/") + QTest::currentDataTag());
    const QString capture = dir + QStringLiteral("/earlier.lmxcap");
    const QString link = dir + QStringLiteral("/COM1");
    QVERIFY(!captureExists || save(capture, "yesterday's line"));
    QVERIFY(!linkExists || QFile::link(QStringLiteral("/dev/null"), link));
    QVERIFY(save(dir + QStringLiteral("/notes.txt"), "a plain file"));
    PseudoTerminal pty;
    QVERIFY(pty.open());
    const QString path = device == u"pty" ? pty.devicePath() : dir + QLatin1Char('/') + device;

    Program tap(LUMATRAX_TAP_PROGRAM,
                {QStringLiteral("--device"), path, QStringLiteral("--dir"), dir,
                 QStringLiteral("--port"), port, QStringLiteral("--out"), capture});
    QCOMPARE(tap.end(), exitCode);
    QVERIFY2(tap.output().contains(message), qPrintable(tap.output()));
    // Nothing made, nothing replaced.
    QCOMPARE(QFileInfo(link).symLinkTarget(), linkExists ? QStringLiteral("/dev/null") : QString());
    QFile earlier(capture);
    QCOMPARE(earlier.open(QIODevice::ReadOnly) ? earlier.readAll() : QByteArray(),
             captureExists ? QByteArray("yesterday's line") : QByteArray());
}

// The disk fills up while the line runs: the tap says so at once, goes on forwarding every byte,
// and leaves a capture that reads back whole up to where it stopped.
void TestCapture::tapGoesOnForwardingWhenTheCaptureFileFails()
{
    const QString small = makeDir(QStringLiteral("small"));
    const test::SmallFileSystem disk(small, 16);
    if (!disk.isMounted())
        QSKIP(qPrintable(disk.errorString()));
    SimOptions options;
    options.directory = makeDir(QStringLiteral("full/instrument"));
    Simulator sim(options);
    QVERIFY(sim.start());
    const QString capture = small + QStringLiteral("/line.lmxcap");
    Program tap(LUMATRAX_TAP_PROGRAM,
                {QStringLiteral("--device"), sim.instrument().devicePath(), QStringLiteral("--dir"),
                 makeDir(QStringLiteral("full/program")), QStringLiteral("--out"), capture});
    QVERIFY2(tap.waitForLine(QStringLiteral("Ctrl-C ends$")), qPrintable(tap.output()));
    PortEnd port(path(QStringLiteral("full/program/COM1")));
    QVERIFY(port.write(kGreeting + kRun));
    QCOMPARE(port.read(1), kAck);
    // Four times what the file system holds, every byte of it; the capture is let go at once.
    QCOMPARE(port.read(64 * 1024).size(), 64 * 1024);
    QFile held(capture);
    QVERIFY(held.open(QIODevice::ReadOnly));
    QTRY_VERIFY(!CaptureWriter::isBeingWritten(held.handle()));
    QVERIFY(port.write(kStop));
    QCOMPARE(tap.end(SIGINT), 1);
    QVERIFY2(tap.output().contains(u"cannot be written") && tap.output().contains(u"incomplete"),
             qPrintable(tap.output()));
    const CaptureContents contents = readCapture(capture);
    QVERIFY2(contents.refused.isEmpty() && contents.warning.isEmpty(),
             qPrintable(contents.refused + contents.warning));
    QVERIFY(contents.each[0].startsWith(kAck));
}

void TestCapture::judgeWritesItsTableToWhatIsNotAFile_data()
{
    addOutputRows(1);
    QTest::newRow("full device") << "full" << 1 << "No space left on device";
}

void TestCapture::judgeWritesItsTableToWhatIsNotAFile()
{
    QFETCH(QString, standing);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    const QString file = path(QStringLiteral("handmade.lmxcap"));
    QVERIFY(save(file, handMadeCapture().file));
    const QString out = makeDir(QStringLiteral("tables/") + QTest::currentDataTag()) +
                        QStringLiteral("/frames.csv");
    const int reader = placeOutput(standing, out);
    if (reader < 0)
        QSKIP("cannot place it here (a device node needs root)");
    const auto closeReader = qScopeGuard([reader] {
        if (reader > 0)
            ::close(reader);
    });
    const mode_t kind = kindAt(out);

    Program judge(LUMATRAX_JUDGE_PROGRAM, {file, QStringLiteral("--csv"), out});
    QCOMPARE(judge.end(), exitCode == 0 ? 3 : exitCode); // 3: the uneven reads' warning
    QVERIFY2(judge.output().contains(message), qPrintable(judge.output()));
    QCOMPARE(kindAt(out), kind); // still what it was: never replaced
    QByteArray table;
    if (standing == u"link") {
        QCOMPARE(QFileInfo(out).symLinkTarget(), out + QStringLiteral(".target"));
        QFile target(out + QStringLiteral(".target"));
        QVERIFY(target.open(QIODevice::ReadOnly));
        table = target.readAll();
    } else if (standing == u"pipe") {
        table = drain(reader); // a small table fits the pipe's buffer
    }
    if (standing == u"link" || standing == u"pipe") {
        QCOMPARE(table.count('\n'), 1 + 8);
        QVERIFY(table.split('\n').at(1).startsWith("0.005000,ACCEPT,0,0,-1,-1,"));
    }
}

void TestCapture::tapCapturesIntoWhatIsNotAFile()
{
    QFETCH(QString, standing);
    QFETCH(int, exitCode);
    QFETCH(QString, message);
    const QString dir = makeDir(QStringLiteral("outputs/") + QTest::currentDataTag());
    const QString capture = dir + QStringLiteral("/line.lmxcap");
    const int reader = placeOutput(standing, capture);
    if (reader < 0)
        QSKIP("cannot place it here (a device node needs root)");
    const auto closeReader = qScopeGuard([reader] {
        if (reader > 0)
            ::close(reader);
    });
    const mode_t kind = kindAt(capture);
    SimOptions options;
    options.directory = makeDir(QStringLiteral("outputs/instrument"));
    Simulator sim(options);
    QVERIFY(sim.start());
    const QString link = makeDir(dir + QStringLiteral("/program")) + QStringLiteral("/COM1");
    Program tap(LUMATRAX_TAP_PROGRAM,
                {QStringLiteral("--device"), sim.instrument().devicePath(), QStringLiteral("--dir"),
                 QFileInfo(link).path(), QStringLiteral("--out"), capture});
    if (exitCode == 0) {
        QVERIFY2(tap.waitForLine(QStringLiteral("Ctrl-C ends$")), qPrintable(tap.output()));
        PortEnd port(link);
        QVERIFY(port.write(kGreeting));
        QCOMPARE(port.read(1), kAck);
    }
    QCOMPARE(tap.end(exitCode == 0 ? SIGINT : 0), exitCode);
    QVERIFY2(tap.output().contains(message), qPrintable(tap.output()));
    QCOMPARE(kindAt(capture), kind);

    QString written; // where the capture can be read back
    if (standing == u"link") {
        QCOMPARE(QFileInfo(capture).symLinkTarget(), capture + QStringLiteral(".target"));
        written = capture + QStringLiteral(".target");
    } else if (standing == u"pipe") {
        written = dir + QStringLiteral("/from-the-pipe.lmxcap");
        QVERIFY(save(written, drain(reader)));
    }
    if (!written.isEmpty()) {
        const CaptureContents contents = readCapture(written);
        QVERIFY2(contents.refused.isEmpty() && contents.warning.isEmpty(),
                 qPrintable(contents.refused + contents.warning));
        QCOMPARE(contents.each[0], kAck);
        QCOMPARE(contents.each[1], kGreeting);
    }
}

QTEST_MAIN(TestCapture)
#include "tst_capture.moc"
