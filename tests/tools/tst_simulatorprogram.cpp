// lumatrax-sim as a program: run as its own process and driven through its pseudo-terminal, as
// lumatrax drives it. The greeting, streaming only between CMD_RUN 1 and CMD_RUN 0, the commands
// it prints, frames that follow the seed and the settings sent, and a clean end on Ctrl-C.

#include "link/configfile.h"
#include "link/protocol.h"
#include "tests/portend.h"
#include "tools/sim/acquisitionsettings.h"
#include "tools/sim/piecemodel.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>

using namespace lumatrax;
using namespace std::chrono_literals;
using test::PortEnd;

namespace {

constexpr auto kTimeout = 5s;
constexpr int kBurst = FRAME_RX_THRESHOLD;

QByteArray bytesOf(std::initializer_list<Command> commands)
{
    QByteArray bytes;
    for (const Command& c : commands)
        bytes += toBytes(c);
    return bytes;
}

const QByteArray kGreeting = bytesOf({SYNC_FRAME, CMD_HELLO});
const Command kRun = command(Opcode::CMD_RUN, 0, 0, 1);
const Command kStop = command(Opcode::CMD_RUN, 0, 0, 0);

// The simulator in a process of its own, with its link in a fresh directory (COM3 -> `earlier`
// there first, if given). It ends with the test: SIGTERM, killed only if it does not go.
class SimProcess
{
public:
    explicit SimProcess(const QStringList& options = {}, const QString& earlier = {})
    {
        if (!earlier.isEmpty())
            QFile::link(earlier, link());
        m_process.start(QStringLiteral(LUMATRAX_SIM_PROGRAM),
                        QStringList{QStringLiteral("--dir"), m_dir.path(), QStringLiteral("--port"),
                                    QStringLiteral("3")} +
                            options);
    }
    ~SimProcess()
    {
        if (m_process.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(m_process.processId()), SIGTERM);
        if (!m_process.waitForFinished(int(std::chrono::milliseconds(kTimeout).count())))
            m_process.kill();
        m_process.waitForFinished();
    }
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    QProcess& process() { return m_process; }
    [[nodiscard]] QString directory() const { return m_dir.path(); }
    [[nodiscard]] QString link() const { return m_dir.filePath(QStringLiteral("COM3")); }
    [[nodiscard]] const QStringList& lines() const { return m_lines; }

    // Waits until the simulator has printed a line matching `pattern`, and returns it.
    QString waitForLine(const QString& pattern)
    {
        const QRegularExpression re(pattern);
        const QDeadlineTimer deadline(kTimeout);
        for (;;) {
            while (m_process.canReadLine()) {
                m_lines << QString::fromUtf8(m_process.readLine()).chopped(1);
                if (re.match(m_lines.last()).hasMatch())
                    return m_lines.last();
            }
            if (deadline.hasExpired() ||
                !m_process.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))
                return QStringLiteral("(no line matching %1)").arg(pattern);
        }
    }

    // Started, its link in place, and the three lines that say where it is printed.
    bool waitUntilReady()
    {
        return m_process.waitForStarted() &&
               waitForLine(QStringLiteral("Ctrl-C ends$")).startsWith(u"lumatrax") &&
               m_lines.size() == 3;
    }

private:
    QTemporaryDir m_dir;
    QProcess m_process;
    QStringList m_lines;
};

// Greets the instrument and returns everything that arrives before its answer. Frame bursts
// here always begin on the baseline, never on 172, so an acknowledgement is a 172 that starts
// a burst.
QByteArray readUpToAcknowledgement(PortEnd& port)
{
    if (!port.write(kGreeting))
        return "(cannot write)";
    QByteArray bytes;
    for (;;) {
        const QByteArray next = port.read(1);
        if (next.isEmpty())
            return "(no acknowledgement)";
        bytes += next;
        if (bytes.size() % kBurst == 1 && bytes.endsWith(char(DEVICE_ACK))) {
            bytes.chop(1);
            return bytes;
        }
    }
}

} // namespace

class TestSimulatorProgram : public QObject
{
    Q_OBJECT
private slots:
    void placesItsLinkAndSaysWhereItIs();
    void streamsOnlyBetweenRunAndStop();
    void framesFollowTheSeedAndTheSettingsSent();
    void sameSeedGivesTheSameFrames();
    void endsOnCtrlCAndRemovesItsLink();
    void writesTheConfigurationWhenAsked();
    void refusesABadOptionWithAReason();
    void leavesACom3ItDidNotMakeAlone_data();
    void leavesACom3ItDidNotMakeAlone();
    void helpExplainsTheOptions();
};

void TestSimulatorProgram::placesItsLinkAndSaysWhereItIs()
{
    SimProcess sim;
    QVERIFY(sim.waitUntilReady());
    const QString device = sim.lines().first().section(QLatin1Char(' '), 3, 3).chopped(1);
    QVERIFY2(device.startsWith(u"/dev/pts/"), qPrintable(sim.lines().first()));
    QCOMPARE(QFileInfo(sim.link()).symLinkTarget(), device);
    QVERIFY(sim.lines().first().endsWith(sim.link()));
}

void TestSimulatorProgram::streamsOnlyBetweenRunAndStop()
{
    SimProcess sim({QStringLiteral("--verbose")});
    QVERIFY(sim.waitUntilReady());
    PortEnd port(sim.link());
    // The greeting is answered at once, with nothing before the answer.
    QCOMPARE(readUpToAcknowledgement(port), QByteArray());

    // Settings are taken, and printed in words, without a frame being sent.
    QVERIFY(port.write(
        bytesOf({command(Opcode::CMD_TIMEBASE, 0, 0, 8), command(Opcode::CMD_TRIG_EDGE, 0, 0, 1),
                 command(Opcode::CMD_TRIG_LEVEL, 0, 3, 232)})));
    QCOMPARE(sim.waitForLine(QStringLiteral("^TRIGGER LEVEL")),
             QStringLiteral("TRIGGER LEVEL 1000"));
    QCOMPARE(readUpToAcknowledgement(port), QByteArray());

    QVERIFY(port.write(toBytes(kRun)));
    const QByteArray frames = port.read(5 * kBurst);
    QCOMPARE(frames.size(), 5 * kBurst);
    for (int f = 0; f < 5; ++f)
        QCOMPARE(frames.mid(f * kBurst + SAMPLES_PER_FRAME, kBurst - SAMPLES_PER_FRAME),
                 QByteArray(kBurst - SAMPLES_PER_FRAME, char(SAMPLE_OFFSET)));

    QVERIFY(port.write(toBytes(kStop)));
    QCOMPARE(sim.waitForLine(QStringLiteral("^RUN 0$")), QStringLiteral("RUN 0"));
    // What was on its way ends with a whole frame; after that the line stays quiet: two more
    // greetings are answered at once, with nothing before their answers.
    const QByteArray tail = readUpToAcknowledgement(port);
    QCOMPARE(tail.size() % kBurst, 0);
    QCOMPARE(readUpToAcknowledgement(port), QByteArray());
    QCOMPARE(readUpToAcknowledgement(port), QByteArray());

    const QStringList expected = {
        QStringLiteral("SYNC"),
        QStringLiteral("HELLO"),
        QStringLiteral("TIMEBASE 8 (20ms)"),
        QStringLiteral("TRIGGER EDGE falling"),
        QStringLiteral("TRIGGER LEVEL 1000"),
        QStringLiteral("SYNC"),
        QStringLiteral("HELLO"),
        QStringLiteral("RUN 1"),
        QStringLiteral("RUN 0"),
    };
    QCOMPARE(sim.lines().mid(3), expected);
}

void TestSimulatorProgram::framesFollowTheSeedAndTheSettingsSent()
{
    SimProcess sim({QStringLiteral("--seed"), QStringLiteral("42"),
                    QStringLiteral("--reject-share"), QStringLiteral("0.5")});
    QVERIFY(sim.waitUntilReady());
    PortEnd port(sim.link());
    QCOMPARE(readUpToAcknowledgement(port), QByteArray());
    AcquisitionSettings settings;
    for (const Command& c :
         {command(Opcode::CMD_TIMEBASE, 0, 0, 5), command(Opcode::CMD_TRIG_EDGE, 0, 0, 1),
          command(Opcode::CMD_TRIG_LEVEL, 0, 1, 200), kRun}) {
        QVERIFY(settings.apply(c));
        QVERIFY(port.write(toBytes(c)));
    }
    const QByteArray frames = port.read(10 * kBurst);
    QCOMPARE(frames.size(), 10 * kBurst);

    PieceModelOptions options;
    options.seed = 42;
    options.rejectShare = 0.5;
    const PieceModel model(options);
    for (int n = 0; n < 10; ++n) {
        const PieceModel::Frame expected = model.frame(std::uint64_t(n), settings);
        QCOMPARE(frames.mid(n * kBurst, SAMPLES_PER_FRAME),
                 QByteArray(reinterpret_cast<const char*>(expected.data()), SAMPLES_PER_FRAME));
    }
}

void TestSimulatorProgram::sameSeedGivesTheSameFrames()
{
    auto firstFrames = [](const QString& seed) {
        SimProcess sim({QStringLiteral("--seed"), seed});
        if (!sim.waitUntilReady())
            return QByteArray("(not started)");
        PortEnd port(sim.link());
        if (!readUpToAcknowledgement(port).isEmpty() || !port.write(toBytes(kRun)))
            return QByteArray("(no greeting)");
        return port.read(8 * kBurst);
    };
    const QByteArray first = firstFrames(QStringLiteral("7"));
    QCOMPARE(first.size(), 8 * kBurst);
    QCOMPARE(firstFrames(QStringLiteral("7")), first);
    QVERIFY(firstFrames(QStringLiteral("8")) != first);
}

void TestSimulatorProgram::endsOnCtrlCAndRemovesItsLink()
{
    SimProcess sim;
    QVERIFY(sim.waitUntilReady());
    QVERIFY(QFileInfo(sim.link()).isSymLink());
    ::kill(pid_t(sim.process().processId()), SIGINT);
    QVERIFY(sim.process().waitForFinished(int(std::chrono::milliseconds(kTimeout).count())));
    QCOMPARE(sim.process().exitStatus(), QProcess::NormalExit);
    QCOMPARE(sim.process().exitCode(), 0);
    QVERIFY(!QFileInfo(sim.link()).isSymLink());
    QVERIFY(sim.waitForLine(QStringLiteral("removed$"))
                .endsWith(sim.link() + QStringLiteral(" removed")));
}

void TestSimulatorProgram::writesTheConfigurationWhenAsked()
{
    SimProcess sim({QStringLiteral("--write-config")});
    QVERIFY(sim.waitUntilReady());
    QFile config(configFilePath(sim.directory()));
    QVERIFY(config.open(QIODevice::ReadOnly));
    QCOMPARE(config.readAll(), QByteArray("3\r\n"));
}

void TestSimulatorProgram::refusesABadOptionWithAReason()
{
    SimProcess sim({QStringLiteral("--guides"), QStringLiteral("75,25")});
    QVERIFY(sim.process().waitForFinished(int(std::chrono::milliseconds(kTimeout).count())));
    QCOMPARE(sim.process().exitCode(), 2);
    QVERIFY(sim.process().readAllStandardError().contains("Low guide"));
    QVERIFY(!QFileInfo(sim.link()).exists());
}

void TestSimulatorProgram::leavesACom3ItDidNotMakeAlone_data()
{
    QTest::addColumn<QString>("earlier"); // where the COM3 link there already leads
    QTest::newRow("a serial port") << "/dev/ttyS0";
    QTest::newRow("an adapter unplugged") << "/dev/serial/by-id/usb-unplugged-port0";
}

void TestSimulatorProgram::leavesACom3ItDidNotMakeAlone()
{
    QFETCH(QString, earlier);
    SimProcess sim({QStringLiteral("--write-config")}, earlier);
    QVERIFY(sim.process().waitForFinished(int(std::chrono::milliseconds(kTimeout).count())));
    QCOMPARE(sim.process().exitCode(), 1);
    const QByteArray said = sim.process().readAllStandardError();
    QVERIFY2(said.contains("exists already") && said.count('\n') == 1, said.constData());
    QCOMPARE(QFileInfo(sim.link()).symLinkTarget(), earlier);
    QVERIFY(!QFileInfo::exists(configFilePath(sim.directory()))); // nothing written either
}

void TestSimulatorProgram::helpExplainsTheOptions()
{
    QProcess help;
    help.start(QStringLiteral(LUMATRAX_SIM_PROGRAM), {QStringLiteral("--help")});
    QVERIFY(help.waitForFinished(int(std::chrono::milliseconds(kTimeout).count())));
    QCOMPARE(help.exitCode(), 0);
    const QByteArray text = help.readAllStandardOutput();
    for (const char* option : {"--dir", "--port", "--seed", "--reject-share", "--guides", "--noise",
                               "--rate", "--write-config", "--verbose"})
        QVERIFY2(text.contains(option), option);
}

QTEST_GUILESS_MAIN(TestSimulatorProgram)
#include "tst_simulatorprogram.moc"
