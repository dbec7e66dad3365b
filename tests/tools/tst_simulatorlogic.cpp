// The simulated instrument's behaviour without a pseudo-terminal: commands in words, the
// settings they carry, the pieces and their frames (seed, guides, trigger, timebase), and the
// simulator's command line.

#include "display/frameprocessing.h"
#include "display/geometry.h"
#include "link/protocol.h"
#include "tools/sim/acquisitionsettings.h"
#include "tools/sim/piecemodel.h"
#include "tools/sim/simoptions.h"

#include <QTest>

#include <cmath>

using namespace lumatrax;
using namespace std::chrono_literals;
using Frame = PieceModel::Frame;

Q_DECLARE_METATYPE(Command)
Q_DECLARE_METATYPE(AcquisitionSettings)
Q_DECLARE_METATYPE(TriggerEdge)

namespace {

constexpr double kScreenHeight = 4815.0; // twips, as the program's scope screen

Command cmd(Opcode opcode, std::uint8_t p2, std::uint8_t p3)
{
    return command(opcode, 0, p2, p3);
}

AcquisitionSettings at(int timebase, TriggerEdge edge = TriggerEdge::Rising, int level = 500)
{
    AcquisitionSettings s;
    s.timebaseIndex = timebase;
    s.edge = edge;
    s.levelCode = level;
    return s;
}

// The program's own verdict on a frame, with its guide sliders at `high` and `low`.
Verdict verdictOf(const Frame& frame, int high = 25, int low = 75)
{
    SampleArray samples{};
    for (int k = 0; k < SAMPLES_PER_FRAME; ++k)
        samples[std::size_t(k)] = std::int16_t(frame[std::size_t(k)] - SAMPLE_OFFSET);
    SegmentArray trace{}, upper{}, lower{};
    mapTrace(trace, samples, SampleHeights(kScreenHeight));
    setHorizontal(upper, guideHeight(kScreenHeight, high));
    setHorizontal(lower, guideHeight(kScreenHeight, low));
    return judge(trace, upper, lower);
}

PieceModelOptions quiet(std::uint64_t seed = 1)
{
    PieceModelOptions o;
    o.seed = seed;
    o.noise = 0.0;
    return o;
}

int away(const Frame& frame, int from)
{
    int n = 0;
    for (std::uint8_t b : frame)
        n += std::abs(int(b) - from) > 2;
    return n;
}

} // namespace

class TestSimulatorLogic : public QObject
{
    Q_OBJECT
private slots:
    void commandsAreDescribedInWords_data();
    void commandsAreDescribedInWords();
    void settingsTakeOnlyParametersInRange_data();
    void settingsTakeOnlyParametersInRange();
    void samplesLieATwentiethOfADivisionApart();
    void triggerLevelLiesWhereTheMarkerIs();
    void eachSeedGivesItsOwnFramesEveryTime();
    void rejectShareSetsHowManyPiecesAreOutside_data();
    void rejectShareSetsHowManyPiecesAreOutside();
    void everyPieceIsJudgedAsItWasMade_data();
    void everyPieceIsJudgedAsItWasMade();
    void noiseStaysWithinItsBound();
    void triggerCrossingLiesOnTheTriggerSample_data();
    void triggerCrossingLiesOnTheTriggerSample();
    void levelBeyondTheSignalRunsFree();
    void slowerTimebaseSqueezesTheRing();
    void commandLineDefaults();
    void commandLineTakesEveryOption();
    void commandLineRefusesBadValues_data();
    void commandLineRefusesBadValues();
};

void TestSimulatorLogic::commandsAreDescribedInWords_data()
{
    QTest::addColumn<Command>("command");
    QTest::addColumn<QString>("words");
    QTest::newRow("sync") << SYNC_FRAME << "SYNC";
    QTest::newRow("hello") << CMD_HELLO << "HELLO";
    QTest::newRow("run") << cmd(Opcode::CMD_RUN, 0, 1) << "RUN 1";
    QTest::newRow("stop") << cmd(Opcode::CMD_RUN, 0, 0) << "RUN 0";
    QTest::newRow("20ms") << cmd(Opcode::CMD_TIMEBASE, 0, 8) << "TIMEBASE 8 (20ms)";
    QTest::newRow("40us") << cmd(Opcode::CMD_TIMEBASE, 0, 0) << "TIMEBASE 0 (40\u00B5s)";
    QTest::newRow("timebase 9") << cmd(Opcode::CMD_TIMEBASE, 0, 9)
                                << "TIMEBASE 9 (no such timebase)";
    QTest::newRow("level 500") << cmd(Opcode::CMD_TRIG_LEVEL, 1, 244) << "TRIGGER LEVEL 500";
    QTest::newRow("level 1000") << cmd(Opcode::CMD_TRIG_LEVEL, 3, 232) << "TRIGGER LEVEL 1000";
    QTest::newRow("level 0") << cmd(Opcode::CMD_TRIG_LEVEL, 0, 0) << "TRIGGER LEVEL 0";
    QTest::newRow("level 1001") << cmd(Opcode::CMD_TRIG_LEVEL, 3, 233)
                                << "TRIGGER LEVEL 1001 (out of range)";
    QTest::newRow("rising") << cmd(Opcode::CMD_TRIG_EDGE, 0, 0) << "TRIGGER EDGE rising";
    QTest::newRow("falling") << cmd(Opcode::CMD_TRIG_EDGE, 0, 1) << "TRIGGER EDGE falling";
    QTest::newRow("edge 2") << cmd(Opcode::CMD_TRIG_EDGE, 0, 2) << "TRIGGER EDGE 2 (unknown)";
    QTest::newRow("unknown") << Command{153, 1, 2, 3} << "UNKNOWN 153 1 2 3";
}

void TestSimulatorLogic::commandsAreDescribedInWords()
{
    QFETCH(Command, command);
    QFETCH(QString, words);
    QCOMPARE(describeCommand(command), words);
}

void TestSimulatorLogic::settingsTakeOnlyParametersInRange_data()
{
    QTest::addColumn<Command>("command");
    QTest::addColumn<bool>("taken");
    QTest::addColumn<AcquisitionSettings>("after");

    const AcquisitionSettings start;
    AcquisitionSettings running = start;
    running.running = true;
    QTest::newRow("run") << cmd(Opcode::CMD_RUN, 0, 1) << true << running;
    QTest::newRow("run 2") << cmd(Opcode::CMD_RUN, 0, 2) << false << start;
    QTest::newRow("20ms") << cmd(Opcode::CMD_TIMEBASE, 0, 8) << true << at(8);
    QTest::newRow("timebase 9") << cmd(Opcode::CMD_TIMEBASE, 0, 9) << false << start;
    QTest::newRow("falling") << cmd(Opcode::CMD_TRIG_EDGE, 0, 1) << true
                             << at(0, TriggerEdge::Falling);
    QTest::newRow("edge 2") << cmd(Opcode::CMD_TRIG_EDGE, 0, 2) << false << start;
    QTest::newRow("level 20") << cmd(Opcode::CMD_TRIG_LEVEL, 0, 20) << true
                              << at(0, TriggerEdge::Rising, 20);
    QTest::newRow("level 1000") << cmd(Opcode::CMD_TRIG_LEVEL, 3, 232) << true
                                << at(0, TriggerEdge::Rising, 1000);
    QTest::newRow("level 1001") << cmd(Opcode::CMD_TRIG_LEVEL, 3, 233) << false << start;
    QTest::newRow("greeting") << CMD_HELLO << false << start;
}

void TestSimulatorLogic::settingsTakeOnlyParametersInRange()
{
    QFETCH(Command, command);
    QFETCH(bool, taken);
    QFETCH(AcquisitionSettings, after);
    AcquisitionSettings settings;
    QCOMPARE(settings.apply(command), taken);
    QVERIFY(settings == after);
}

void TestSimulatorLogic::samplesLieATwentiethOfADivisionApart()
{
    QCOMPARE(at(0).sampleInterval(), 2us);
    QCOMPARE(at(2).sampleInterval(), 10us);
    QCOMPARE(at(8).sampleInterval(), 1ms);
}

void TestSimulatorLogic::triggerLevelLiesWhereTheMarkerIs()
{
    // Code 1000 is the marker's top position (byte 255), 500 the middle, 0 the bottom.
    QCOMPARE(levelInSampleUnits(1000), 255.0);
    QCOMPARE(levelInSampleUnits(500), 127.0);
    QCOMPARE(levelInSampleUnits(0), -1.0);
}

void TestSimulatorLogic::eachSeedGivesItsOwnFramesEveryTime()
{
    PieceModelOptions o;
    o.seed = 5;
    const PieceModel first(o), second(o);
    // Asked in another order: piece n does not depend on the pieces before it.
    for (std::uint64_t n = 50; n-- > 0;)
        QCOMPARE(second.frame(n, at(int(n % 9))), first.frame(n, at(int(n % 9))));
    o.seed = 6;
    const PieceModel other(o);
    for (std::uint64_t n = 0; n < 50; ++n)
        QVERIFY(other.frame(n, at(0)) != first.frame(n, at(0)));
}

void TestSimulatorLogic::rejectShareSetsHowManyPiecesAreOutside_data()
{
    QTest::addColumn<double>("share");
    QTest::newRow("none") << 0.0;
    QTest::newRow("a tenth") << 0.1;
    QTest::newRow("a third") << 0.33;
    QTest::newRow("all") << 1.0;
}

void TestSimulatorLogic::rejectShareSetsHowManyPiecesAreOutside()
{
    QFETCH(double, share);
    PieceModelOptions o;
    o.rejectShare = share;
    const PieceModel model(o);
    constexpr int kPieces = 4000;
    int high = 0, low = 0;
    for (std::uint64_t n = 0; n < kPieces; ++n) {
        const PieceClass kind = model.piece(n).kind;
        high += kind == PieceClass::TooHigh;
        low += kind == PieceClass::TooLow;
    }
    // Within four standard deviations of the binomial counts.
    const double spread = 4.0 * std::sqrt(kPieces * share * (1.0 - share)) + 0.5;
    QVERIFY2(std::abs(high + low - share * kPieces) <= spread,
             qPrintable(QStringLiteral("%1 outside").arg(high + low)));
    // Half of them above, half below.
    QVERIFY(std::abs(high - low) <= 4.0 * std::sqrt((high + low) * 0.25) + 0.5);
}

void TestSimulatorLogic::everyPieceIsJudgedAsItWasMade_data()
{
    QTest::addColumn<int>("timebase");
    QTest::addColumn<TriggerEdge>("edge");
    QTest::addColumn<int>("level");
    for (int tb = 0; tb < int(kTimebases.size()); ++tb) {
        const QByteArray name(kTimebases[std::size_t(tb)].name.data(),
                              qsizetype(kTimebases[std::size_t(tb)].name.size()));
        QTest::newRow(name + " rising") << tb << TriggerEdge::Rising << 500;
        QTest::newRow(name + " falling") << tb << TriggerEdge::Falling << 500;
    }
    QTest::newRow("level 560 rising") << 0 << TriggerEdge::Rising << 560;
    QTest::newRow("level 440 falling") << 0 << TriggerEdge::Falling << 440;
    QTest::newRow("level at the top") << 0 << TriggerEdge::Rising << 1000;
}

void TestSimulatorLogic::everyPieceIsJudgedAsItWasMade()
{
    QFETCH(int, timebase);
    QFETCH(TriggerEdge, edge);
    QFETCH(int, level);
    PieceModelOptions o;
    o.rejectShare = 0.3;
    o.seed = 11;
    const PieceModel model(o);
    for (std::uint64_t n = 0; n < 600; ++n) {
        const Verdict v = verdictOf(model.frame(n, at(timebase, edge, level)));
        const PieceClass kind = model.piece(n).kind;
        const Verdict expected{kind == PieceClass::TooHigh, kind == PieceClass::TooLow};
        QVERIFY2(v == expected, qPrintable(QStringLiteral("piece %1").arg(n)));
    }
}

void TestSimulatorLogic::noiseStaysWithinItsBound()
{
    // Before the piece arrives the signal is its baseline: what varies there is noise.
    PieceModelOptions o;
    o.noise = 3.0;
    const PieceModel model(o);
    bool someNoise = false;
    for (std::uint64_t n = 0; n < 20; ++n) {
        const double baseline = model.piece(n).baseline;
        const Frame f = model.frame(n, at(0, TriggerEdge::Rising, 1000));
        for (int k = 0; k < PieceModel::kTriggerSample; ++k) {
            const double d = std::abs(f[std::size_t(k)] - baseline);
            QVERIFY(d <= 3.5); // the noise and the rounding
            someNoise = someNoise || d > 1.0;
        }
    }
    QVERIFY(someNoise);
}

void TestSimulatorLogic::triggerCrossingLiesOnTheTriggerSample_data()
{
    QTest::addColumn<TriggerEdge>("edge");
    QTest::addColumn<int>("level");
    QTest::newRow("rising at 500") << TriggerEdge::Rising << 500;
    QTest::newRow("falling at 500") << TriggerEdge::Falling << 500;
    QTest::newRow("rising at 560") << TriggerEdge::Rising << 560;
    QTest::newRow("falling at 440") << TriggerEdge::Falling << 440;
}

void TestSimulatorLogic::triggerCrossingLiesOnTheTriggerSample()
{
    QFETCH(TriggerEdge, edge);
    QFETCH(int, level);
    const PieceModel model(quiet());
    const double l = levelInSampleUnits(level);
    constexpr std::size_t t = PieceModel::kTriggerSample;
    int triggered = 0;
    for (std::uint64_t n = 0; n < 100; ++n) {
        if (!PieceModel::triggerTime(model.piece(n), edge, l))
            continue;
        ++triggered;
        const Frame f = model.frame(n, at(0, edge, level));
        QVERIFY2(std::abs(f[t] - l) <= 1.0, qPrintable(QStringLiteral("piece %1").arg(n)));
        if (edge == TriggerEdge::Rising)
            QVERIFY(f[t - 1] <= f[t] && f[t] <= f[t + 1] && f[t - 1] < f[t + 1]);
        else
            QVERIFY(f[t - 1] >= f[t] && f[t] >= f[t + 1] && f[t - 1] > f[t + 1]);
    }
    QVERIFY(triggered > 25);
}

void TestSimulatorLogic::levelBeyondTheSignalRunsFree()
{
    // Nothing reaches the top of the screen: the piece arrives on the trigger sample, and the
    // baseline lies before it.
    const PieceModel model(quiet());
    for (std::uint64_t n = 0; n < 20; ++n) {
        const Piece p = model.piece(n);
        QVERIFY(!PieceModel::triggerTime(p, TriggerEdge::Rising, levelInSampleUnits(1000)));
        const Frame f = model.frame(n, at(0, TriggerEdge::Rising, 1000));
        for (int k = 0; k <= PieceModel::kTriggerSample; ++k)
            QCOMPARE(int(f[std::size_t(k)]), int(std::lround(p.baseline)));
        QVERIFY(f[PieceModel::kTriggerSample + 5] != f[PieceModel::kTriggerSample]);
    }
}

void TestSimulatorLogic::slowerTimebaseSqueezesTheRing()
{
    const PieceModel model(quiet());
    for (std::uint64_t n = 0; n < 20; ++n) {
        const int base = int(std::lround(model.piece(n).baseline));
        const int fast = away(model.frame(n, at(0)), base);
        const int middle = away(model.frame(n, at(3)), base);
        const int slow = away(model.frame(n, at(8)), base);
        QVERIFY2(fast > middle && middle > slow && slow > 0,
                 qPrintable(QStringLiteral("%1 %2 %3").arg(fast).arg(middle).arg(slow)));
    }
}

void TestSimulatorLogic::commandLineDefaults()
{
    const SimCommandLine c = parseSimCommandLine({QStringLiteral("lumatrax-sim")});
    QCOMPARE(c.outcome, SimCommandLine::Outcome::Run);
    QCOMPARE(c.options.directory, QStringLiteral("."));
    QCOMPARE(c.options.port, 1);
    QCOMPARE(c.options.pieces.seed, 1u);
    QCOMPARE(c.options.pieces.rejectShare, 0.1);
    QCOMPARE(c.options.pieces.guideHigh, 25);
    QCOMPARE(c.options.pieces.guideLow, 75);
    QCOMPARE(c.options.frameInterval(), 0us);
    QCOMPARE(c.options.packetSize, 0);
    QVERIFY(!c.options.verbose);
    QVERIFY(!c.options.writeConfig);
}

void TestSimulatorLogic::commandLineTakesEveryOption()
{
    const SimCommandLine c = parseSimCommandLine(
        QStringLiteral("lumatrax-sim --dir /tmp/x -p 7 --seed 18446744073709551615 "
                       "--reject-share 0.25 --guides 10,60 --noise 0.5 --rate 50 "
                       "--write-config -v --packet 62 --latency 16")
            .split(QLatin1Char(' ')));
    QCOMPARE(c.outcome, SimCommandLine::Outcome::Run);
    QCOMPARE(c.options.directory, QStringLiteral("/tmp/x"));
    QCOMPARE(c.options.port, 7);
    QCOMPARE(c.options.pieces.seed, 18446744073709551615u);
    QCOMPARE(c.options.pieces.rejectShare, 0.25);
    QCOMPARE(c.options.pieces.guideHigh, 10);
    QCOMPARE(c.options.pieces.guideLow, 60);
    QCOMPARE(c.options.pieces.noise, 0.5);
    QCOMPARE(c.options.frameInterval(), 20ms);
    QVERIFY(c.options.writeConfig);
    QVERIFY(c.options.verbose);
    QCOMPARE(c.options.packetSize, 62);
    QCOMPARE(c.options.latency, 16ms);
    const SimCommandLine replay = parseSimCommandLine(
        QStringLiteral("lumatrax-sim --replay line.lmxcap --packet 16").split(QLatin1Char(' ')));
    QCOMPARE(replay.outcome, SimCommandLine::Outcome::Run);
    QCOMPARE(replay.options.packetSize, 16);
}

void TestSimulatorLogic::commandLineRefusesBadValues_data()
{
    QTest::addColumn<QString>("arguments");
    QTest::newRow("port 0") << "--port 0";
    QTest::newRow("port 256") << "--port 256";
    QTest::newRow("negative seed") << "--seed -1";
    QTest::newRow("share above 1") << "--reject-share 1.5";
    QTest::newRow("guides reversed") << "--guides 75,25";
    QTest::newRow("guides too close") << "--guides 40,55";
    QTest::newRow("noise") << "--noise 30";
    QTest::newRow("negative rate") << "--rate -5";
    QTest::newRow("packet of 7 bytes") << "--packet 7";
    QTest::newRow("packet of 4097 bytes") << "--packet 4097";
    QTest::newRow("latency of 256 ms") << "--packet 62 --latency 256";
    QTest::newRow("latency without packets") << "--latency 16";
    QTest::newRow("unknown option") << "--colour red";
    QTest::newRow("stray argument") << "COM1";
}

void TestSimulatorLogic::commandLineRefusesBadValues()
{
    QFETCH(QString, arguments);
    const SimCommandLine c = parseSimCommandLine(QStringList{QStringLiteral("lumatrax-sim")} +
                                                 arguments.split(QLatin1Char(' ')));
    QCOMPARE(c.outcome, SimCommandLine::Outcome::Error);
    QVERIFY(!c.text.isEmpty());
}

QTEST_GUILESS_MAIN(TestSimulatorLogic)
#include "tst_simulatorlogic.moc"
