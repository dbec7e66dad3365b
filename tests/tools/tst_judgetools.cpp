// lumatrax-judge's field tools and the finish of the command-line programs: guides taught from
// frames of known envelopes (the share kept, the margin, the clamping at 0 and 100, no frames);
// bad pieces caught; the picture of a batch (guide rows, trace pixels); the report's Sorting
// Result lines; the judge's command lines: standard output, names that are one file, failures
// that leave no summary, the picture's formats and the exit statuses; --version; the tap's frame
// count on a capture that grows; lumatrax without a desktop session; the guide sliders' tooltips;
// and randomly damaged captures through the judge.

#include "link/protocol.h"
#include "tests/systemfaults.h"
#include "tests/testsupport.h"
#include "tests/tools/batchcapture.h"
#include "tools/capture/captureframecounter.h"
#include "tools/capture/capturejudge.h"
#include "tools/capture/guideteacher.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <sys/stat.h>
#include <unistd.h>

using namespace lumatrax;
using test::captureOf;
using test::spanning;

namespace {

constexpr auto I = CaptureDirection::ToProgram;

struct Run
{
    int status = -1;
    QByteArray out;
    QByteArray err;
};

Run run(const char* program, const QStringList& arguments,
        const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment())
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.start(QString::fromUtf8(program), arguments);
    Run result;
    if (!process.waitForFinished(60'000))
        return result;
    result.status = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    result.out = process.readAllStandardOutput();
    result.err = process.readAllStandardError();
    return result;
}

bool save(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

std::int16_t guideAt(int v)
{
    return guideHeight(kScreenHeightTwips, v);
}

} // namespace

class TestJudgeTools : public QObject
{
    Q_OBJECT
private slots:
    void teachFindsTheNarrowestBandThatKeepsTheShare_data();
    void teachFindsTheNarrowestBandThatKeepsTheShare();
    void teachOnACaptureAndTheBadPiecesItCatches();
    void aCaptureWithoutFramesTeachesNothing();
    void teachSaysFirstWhenReadsMayShiftFrames();
    void plotShowsGuidesAndTracesAtTheirRows();
    void reportLinesAreTheReportsOwn();
    void commandLinesEndAsTheySay_data();
    void commandLinesEndAsTheySay();
    void everyProgramTellsItsVersion_data();
    void everyProgramTellsItsVersion();
    void frameCountFollowsACaptureAsItGrows();
    void programWithoutADesktopSessionSaysSo_data();
    void programWithoutADesktopSessionSaysSo();
    void guideTooltipsShowTheNumbersTheJudgeTakes();
    void damagedCapturesGoThroughTheJudge();

private:
    QString path(const QString& name) const { return m_dir.filePath(name); }
    QTemporaryDir m_dir;
};

void TestJudgeTools::teachFindsTheNarrowestBandThatKeepsTheShare_data()
{
    // Frames by their highest and lowest heights, in twips; guides by slider value.
    QTest::addColumn<QList<int>>("envelopes"); // highest, lowest, highest, lowest, ...
    QTest::addColumn<int>("keep");             // hundredths of a percent
    QTest::addColumn<int>("margin");
    QTest::addColumn<QList<int>>("expected"); // narrowest U, L, then taught U, L

    // Byte 191 lies at 1204 twips, level with guide 25; byte 64 at 3592, just above guide 75
    // (3611) and below guide 74 (3563).
    const int top = sampleHeight(kScreenHeightTwips, 191 - 128);
    const int bottom = sampleHeight(kScreenHeightTwips, 64 - 128);
    QTest::newRow("a known envelope gives its guides, two steps wider")
        << QList<int>{top, 2389, 2000, bottom, 2000, 2400} << 10000 << 2
        << QList<int>{25, 75, 23, 77};
    // Nine frames between guides 37 and 63, one up at 94 twips (guide 1 is 48, guide 2 is 96).
    QList<int> nineAndOne;
    for (int i = 0; i < 9; ++i)
        nineAndOne << guideAt(37) + i << guideAt(63) - i;
    nineAndOne << 94 << 2400;
    QTest::newRow("all ten keep the one far up")
        << nineAndOne << 10000 << 0 << QList<int>{1, 63, 1, 63};
    QTest::newRow("90 % leave it out") << nineAndOne << 9000 << 0 << QList<int>{37, 63, 37, 63};
    QTest::newRow("90.01 % need all ten") << nineAndOne << 9001 << 0 << QList<int>{1, 63, 1, 63};
    QTest::newRow("the margin stops at 0 and 100")
        << QList<int>{94, sampleHeight(kScreenHeightTwips, -128)} << 10000 << 5
        << QList<int>{1, 100, 0, 100};
    QTest::newRow("a tie goes to the band nearest the median middle")
        << QList<int>{guideAt(10), guideAt(20), guideAt(40), guideAt(50), guideAt(70), guideAt(80)}
        << 3300 << 1 << QList<int>{40, 50, 39, 51};
    QTest::newRow("then to the higher band")
        << QList<int>{guideAt(20), guideAt(30), guideAt(60), guideAt(70)} << 5000 << 0
        << QList<int>{20, 30, 20, 30};
}

void TestJudgeTools::teachFindsTheNarrowestBandThatKeepsTheShare()
{
    QFETCH(QList<int>, envelopes);
    QFETCH(int, keep);
    QFETCH(int, margin);
    QFETCH(QList<int>, expected);
    GuideTeacher teacher;
    for (qsizetype i = 0; i + 1 < envelopes.size(); i += 2)
        teacher.addEnvelope(std::int16_t(envelopes[i]), std::int16_t(envelopes[i + 1]));
    const auto taught = teacher.teach({keep, margin});
    QVERIFY(taught);
    QCOMPARE((QList<int>{taught->narrowest.upper, taught->narrowest.lower, taught->guides.upper,
                         taught->guides.lower}),
             expected);
    QCOMPARE(taught->kept, teacher.accepted(taught->narrowest));
    QVERIFY(taught->kept >= GuideTeacher::framesNeeded(teacher.frames(), keep));
}

void TestJudgeTools::teachOnACaptureAndTheBadPiecesItCatches()
{
    // The known envelope, as frames: between bytes 191 and 64, so 25,75 narrowest and 23,77
    // taught. Of the bad pieces, one goes up to byte 250 and one down to byte 5; one is good.
    const QString good = path(QStringLiteral("good.lmxcap"));
    const QString bad = path(QStringLiteral("bad.lmxcap"));
    QVERIFY(save(good, captureOf({spanning(191, 128), spanning(150, 64), spanning(140, 100)})));
    QVERIFY(save(bad, captureOf({spanning(250, 128), spanning(128, 5), spanning(128, 128)})));
    const Run taught = run(LUMATRAX_JUDGE_PROGRAM,
                           {good, QStringLiteral("--teach"), QStringLiteral("--bad"), bad});
    QCOMPARE(taught.status, 0);
    QVERIFY2(taught.out.contains("\ntaught guides 23,77\nguides          23,77\nframes          "
                                 "3\naccepted        3\n"),
             taught.out.constData());
    QVERIFY2(taught.out.contains("\nbad caught 2 of 3\n"), taught.out.constData());

    const Run refused =
        run(LUMATRAX_JUDGE_PROGRAM,
            {good, QStringLiteral("--teach"), QStringLiteral("--guides"), QStringLiteral("25,75")});
    QCOMPARE(refused.status, 2);
    QVERIFY(refused.err.contains("--teach or --guides, not both"));
}

void TestJudgeTools::aCaptureWithoutFramesTeachesNothing()
{
    QVERIFY(!GuideTeacher().teach({}));
    const QString empty = path(QStringLiteral("no-frames.lmxcap"));
    QVERIFY(save(empty, captureOf({})));
    const Run teach = run(LUMATRAX_JUDGE_PROGRAM, {empty, QStringLiteral("--teach")});
    QCOMPARE(teach.status, 1);
    QVERIFY2(teach.err.contains("holds no frames to teach from"), teach.err.constData());
    QVERIFY(!teach.out.contains("taught guides"));
}

void TestJudgeTools::teachSaysFirstWhenReadsMayShiftFrames()
{
    // Reads of 300 bytes: each took more than a burst, so the frames after may be shifted. With
    // the picture on standard output, everything said goes to standard error, in order.
    const QByteArray longRead = spanning(150, 100) + QByteArray(100, char(128));
    QByteArray file = encodeCaptureHeader({});
    test::appendRunStart(file);
    for (int n = 0; n < 3; ++n)
        appendCaptureRecord(file, I, 5'000 + n * 5'000, longRead);
    const QString capture = path(QStringLiteral("long-reads.lmxcap"));
    QVERIFY(save(capture, file));
    const Run teach = run(LUMATRAX_JUDGE_PROGRAM, {capture, QStringLiteral("--teach"),
                                                   QStringLiteral("--plot"), QStringLiteral("-")});
    QCOMPARE(teach.status, 3); // judged, with a warning
    const qsizetype warning = teach.err.indexOf(
        "warning: these frames may be shifted, so the taught band may be wrong\n");
    QVERIFY2(warning >= 0, teach.err.constData());
    QVERIFY(warning < teach.err.indexOf("taught guides "));
}

void TestJudgeTools::plotShowsGuidesAndTracesAtTheirRows()
{
    // One accepted frame level at byte 127 (2408 twips: device row 321 at two device pixels a
    // window pixel), one rejected frame level at byte 250 (94 twips: row 12). Guide 25 lies at
    // 1204 twips, window pixel 80, rows 160 and 161; guide 75 at 3611, rows 480 and 481.
    const QString capture = path(QStringLiteral("two.lmxcap"));
    QVERIFY(save(capture, captureOf({QByteArray(SAMPLES_PER_FRAME, char(127)),
                                     QByteArray(SAMPLES_PER_FRAME, char(250))})));
    const Run plot =
        run(LUMATRAX_JUDGE_PROGRAM, {capture, QStringLiteral("--guides"), QStringLiteral("25,75"),
                                     QStringLiteral("--plot"), QStringLiteral("-")});
    QCOMPARE(plot.status, 0);
    QVERIFY2(plot.err.contains("accepted        1\n"), plot.err.constData());
    QImage image;
    QVERIFY(image.loadFromData(plot.out, "PNG"));
    QVERIFY(image.width() >= 2 * 481 && image.height() >= 2 * 321);
    const int x = 301; // clear of the vertical grid lines (window pixels 48, 96, ...)
    QCOMPARE(image.pixel(x, 160), 0xFFFF0000u);
    QCOMPARE(image.pixel(x, 161), 0xFFFF0000u);
    QCOMPARE(image.pixel(x, 480), 0xFF0000FFu);
    QCOMPARE(image.pixel(x, 481), 0xFF0000FFu);
    QCOMPARE(image.pixel(x, 321), 0xFF00FFFFu); // the accepted trace, cyan
    QCOMPARE(image.pixel(x, 12), 0xFFFFA000u);  // the rejected one, amber
    QCOMPARE(image.pixel(x, 200), 0xFF000000u); // black between them

    // Written by the rule of every output: a symbolic link is followed and stays a link.
    const QString target = path(QStringLiteral("batch.png"));
    const QString link = path(QStringLiteral("latest.png"));
    QVERIFY(QFile::link(target, link));
    QCOMPARE(run(LUMATRAX_JUDGE_PROGRAM, {capture, QStringLiteral("--plot"), link}).status, 0);
    QVERIFY(QFileInfo(link).isSymLink());
    QVERIFY(QImage(target).width() >= 2 * 481);
}

void TestJudgeTools::reportLinesAreTheReportsOwn()
{
    // Above 25 only, below 75 only, both, and two inside.
    const QString capture = path(QStringLiteral("five.lmxcap"));
    QVERIFY(save(capture, captureOf({spanning(250, 128), spanning(128, 5), spanning(250, 5),
                                     spanning(150, 100), spanning(128, 128)})));
    const Run report =
        run(LUMATRAX_JUDGE_PROGRAM, {capture, QStringLiteral("--guides"), QStringLiteral("25,75"),
                                     QStringLiteral("--report")});
    QCOMPARE(report.status, 0);
    const QByteArray expected = " SORTING RESULT\n"
                                "No. Of Pcs. Tested  : 5\n"
                                "No. of Pcs. Accepted: 2\n"
                                "No. of Pcs. Rejected: \n"
                                "Upper Reject        : 2\n"
                                "Lower Reject        : 2\n"
                                "(1 frame went both above and below the guides: counted in both "
                                "Upper and Lower Reject)\n";
    QVERIFY2(report.out.endsWith(expected), report.out.constData());
}

void TestJudgeTools::commandLinesEndAsTheySay_data()
{
    // Each run in a directory of its own holding cap.lmxcap (five frames), a hard link to it
    // same.lmxcap, bad.lmxcap (three frames), long.lmxcap (a read that may shift the frames),
    // empty.lmxcap (no frames), creep.lmxcap (below) and ro/out.csv in a read-only directory.
    // Standard output is a file, standard input a pipe.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("outStart"); // empty: nothing on standard output
    QTest::addColumn<QByteArray>("errPart");
    QTest::addColumn<QString>("written"); // a file the run leaves as it starts, or not at all
    QTest::addColumn<QByteArray>("writtenStart");
    QTest::addColumn<QString>("standardOutput"); // when not the file "stdout"
    const auto row = [](const char* name, const QStringList& arguments, int status,
                        const QByteArray& out, const QByteArray& err, const QString& written = {},
                        const QByteArray& start = {}, const QString& standardOutput = {}) {
        QTest::newRow(name) << arguments << status << out << err << written << start
                            << standardOutput;
    };
    const QByteArray table = "time_s,verdict,above_upper,below_lower,s0,";
    const QByteArray summary = "frames          5\n";
    row("the table", {"cap.lmxcap", "--csv", "-"}, 0, table, summary);
    row("/dev/stdout is -", {"cap.lmxcap", "--csv", "/dev/stdout"}, 0, table, summary);
    row("/dev/stderr is not", {"cap.lmxcap", "--csv", "/dev/stderr"}, 0, "guides ", table);
    row("the picture", {"cap.lmxcap", "--plot", "-", "--report"}, 0, "\x89PNG", " SORTING RESULT");
    row("not both", {"cap.lmxcap", "--csv", "-", "--plot", "/dev/stdout"}, 2, {},
        "only one output can go to standard output");
    row("an empty name", {"cap.lmxcap", "--csv", ""}, 2, {}, "--csv needs a file name");
    row("the table over --bad", {"cap.lmxcap", "--bad", "bad.lmxcap", "--csv", "bad.lmxcap"}, 2, {},
        "--bad bad.lmxcap and --csv bad.lmxcap are the same file");
    row("table and picture one file", {"cap.lmxcap", "--csv", "x", "--plot", "x"}, 2, {},
        "--csv x and --plot x are the same file", "x");
    row("a hard link to the capture", {"cap.lmxcap", "--plot", "same.lmxcap"}, 2, {},
        "the capture cap.lmxcap and --plot same.lmxcap are the same file");
    row("two null devices", {"cap.lmxcap", "--csv", "/dev/null", "--plot", "/dev/null"}, 0,
        "guides ", {});
    row("a --bad that fails leaves no summary, no picture",
        {"cap.lmxcap", "--bad", "missing.lmxcap", "--plot", "p.png"}, 1, {},
        "missing.lmxcap: No such file", "p.png");
    row("a summary that cannot be written", {"cap.lmxcap"}, 1, {},
        "standard output: No space left on device", {}, {}, "/dev/full");
    row("a picture that fails leaves no summary", {"cap.lmxcap", "--plot", "/dev/full"}, 1, {},
        "/dev/full: No space left on device");
    row("a JPEG picture", {"cap.lmxcap", "--plot", "p.jpg"}, 0, "guides ", {}, "p.jpg",
        "\xFF\xD8\xFF");
    row("a BMP picture", {"cap.lmxcap", "--plot", "p.bmp"}, 0, "guides ", {}, "p.bmp", "BM");
    row("judged with a warning", {"long.lmxcap"}, 3, "guides ", "warning: ");
    row("no frames", {"cap.lmxcap", "--bad", "empty.lmxcap"}, 1, {}, "holds no frames");
    // creep.lmxcap: started 2026-12-07T10:11:12.345Z on /dev/ttyUSB0, five frames 30 minutes
    // apart (bins of 72 s) whose highest samples lie 24.6, 16.0, 8.2, 4.3 and 2.3 steps inside
    // guide 25 and whose lowest lie 14.5 steps inside guide 75.
    row("the drift of a batch creeping up, the bins on standard output",
        {"creep.lmxcap", "--guides", "25,75", "--drift", "--drift-csv", "-"}, 0,
        "start_s,end_s,frames,upper_rejects,",
        "started         2026-12-07T10:11:12.345Z\ndevice          /dev/ttyUSB0\n"
        "drift upper: margin 24.6 -> 2.3 steps (median of the first and last bin), -11.4 "
        "steps/hour; within 3 steps since 01:58:48\n"
        "drift lower: margin 14.5 -> 14.5 steps (median of the first and last bin), 0.0 "
        "steps/hour; never within 3 steps\n");
    row("the bins over the table", {"cap.lmxcap", "--drift", "--csv", "x", "--drift-csv", "x"}, 2,
        {}, "--csv x and --drift-csv x are the same file", "x");
    row("each frame's wall-clock time", {"creep.lmxcap", "--guides", "25,75", "--frames"}, 0,
        "time_s verdict above_upper below_lower utc\n0.005000 ACCEPT 0 0 "
        "2026-12-07T10:11:12.350Z\n",
        {});
    row("teaching from a pipe, which cannot be read twice", {"/dev/stdin", "--teach"}, 2, {},
        "--teach reads the capture twice, and /dev/stdin can be read only once");
    row("a directory that takes no new file: never rewritten in place",
        {"cap.lmxcap", "--csv", "ro/out.csv"}, 1, {}, "ro/out.csv: Permission denied", "ro/out.csv",
        "earlier\n");
}

void TestJudgeTools::commandLinesEndAsTheySay()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, status);
    QFETCH(QByteArray, outStart);
    QFETCH(QByteArray, errPart);
    QFETCH(QString, written);
    QFETCH(QByteArray, writtenStart);
    QFETCH(QString, standardOutput);
    if (arguments.contains(u"ro/out.csv"))
        LUMATRAX_RUN_UNPRIVILEGED_WHEN_ROOT(); // root writes into read-only directories
    const QDir dir(path(QString::fromLatin1(QTest::currentDataTag()).replace(u'/', u'_')));
    const QByteArray capture = captureOf({spanning(250, 128), spanning(128, 5), spanning(250, 5),
                                          spanning(150, 100), spanning(128, 128)});
    const QByteArray bad = captureOf({spanning(250, 128), spanning(128, 5), spanning(128, 128)});
    const QByteArray longReads = captureOf({spanning(150, 100) + QByteArray(90, char(128))});
    CaptureHeader started;
    started.startedAtUs = 1'796'638'272'345'000;
    started.device = QStringLiteral("/dev/ttyUSB0");
    const QByteArray creep = captureOf({spanning(128, 100), spanning(150, 100), spanning(170, 100),
                                        spanning(180, 100), spanning(185, 100)},
                                       1'800'000'000, started);
    QVERIFY(dir.mkpath(QStringLiteral("ro")) && save(dir.filePath("cap.lmxcap"), capture) &&
            save(dir.filePath("bad.lmxcap"), bad) && save(dir.filePath("long.lmxcap"), longReads) &&
            save(dir.filePath("empty.lmxcap"), captureOf({})) &&
            save(dir.filePath("creep.lmxcap"), creep) &&
            ::link(QFile::encodeName(dir.filePath("cap.lmxcap")).constData(),
                   QFile::encodeName(dir.filePath("same.lmxcap")).constData()) == 0 &&
            save(dir.filePath("ro/out.csv"), "earlier\n") &&
            ::chmod(QFile::encodeName(dir.filePath("ro")).constData(), 0555) == 0);

    QProcess judge;
    judge.setWorkingDirectory(dir.path());
    judge.setStandardOutputFile(dir.filePath(standardOutput.isEmpty() ? "stdout" : standardOutput));
    judge.start(QStringLiteral(LUMATRAX_JUDGE_PROGRAM), arguments);
    QVERIFY(judge.waitForFinished(60'000));
    ::chmod(QFile::encodeName(dir.filePath("ro")).constData(), 0755);
    const QByteArray err = judge.readAllStandardError();
    QCOMPARE(judge.exitCode(), status);
    QVERIFY2(err.contains(errPart), err.constData());
    // What standard output and the file written begin with; nothing where nothing is expected.
    for (const auto& [name, start] :
         {std::pair{QStringLiteral("stdout"), outStart}, std::pair{written, writtenStart}}) {
        QFile file(dir.filePath(name));
        const QByteArray bytes = file.open(QIODevice::ReadOnly) ? file.read(128) : QByteArray();
        QVERIFY2(name.isEmpty() || (start.isEmpty() ? bytes.isEmpty() : bytes.startsWith(start)),
                 qPrintable(name));
    }
    QCOMPARE(judgeCapture(dir.filePath("cap.lmxcap"), {}).summary.frames, 5); // as they were
    QCOMPARE(judgeCapture(dir.filePath("bad.lmxcap"), {}).summary.frames, 3);
}

void TestJudgeTools::everyProgramTellsItsVersion_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("sim") << QStringLiteral(LUMATRAX_SIM_PROGRAM)
                         << QByteArray("lumatrax-sim 1.1\n");
    QTest::newRow("tap") << QStringLiteral(LUMATRAX_TAP_PROGRAM)
                         << QByteArray("lumatrax-tap 1.1\n");
    QTest::newRow("judge") << QStringLiteral(LUMATRAX_JUDGE_PROGRAM)
                           << QByteArray("lumatrax-judge 1.1\n");
    QTest::newRow("review") << QStringLiteral(LUMATRAX_REVIEW_PROGRAM)
                            << QByteArray("lumatrax-review 1.1\n");
}

void TestJudgeTools::everyProgramTellsItsVersion()
{
    QFETCH(QString, program);
    QFETCH(QByteArray, expected);
    const Run version = run(qPrintable(program), {QStringLiteral("--version")});
    QCOMPARE(version.status, 0);
    QCOMPARE(version.out, expected);
}

void TestJudgeTools::frameCountFollowsACaptureAsItGrows()
{
    // Written a piece at a time, records cut anywhere, as the tap's writer may leave the file
    // at the moment the count looks.
    const QByteArray whole = test::simulatedBatch(40, 3, 0.2);
    const QString file = path(QStringLiteral("growing.lmxcap"));
    QVERIFY(save(file, {}));
    CaptureFrameCounter counter(file);
    QFile out(file);
    QVERIFY(out.open(QIODevice::Append));
    std::uint64_t previous = 0;
    for (qsizetype at = 0; at < whole.size(); at += 97) {
        QVERIFY(out.write(whole.mid(at, 97)) > 0 && out.flush());
        const std::uint64_t frames = counter.catchUp();
        QVERIFY(frames >= previous);
        previous = frames;
    }
    QCOMPARE(counter.catchUp(), std::uint64_t(40));
    QVERIFY(!counter.unreadable());
    QCOMPARE(judgeCapture(file, {}).summary.frames, 40);

    // A capture written into a named pipe is not read back: its reader would lose the bytes.
    const QString pipe = path(QStringLiteral("pipe.lmxcap"));
    QCOMPARE(::mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    CaptureFrameCounter notCounted(pipe);
    QCOMPARE(notCounted.catchUp(), std::uint64_t(0));
    QVERIFY(notCounted.unreadable());
}

void TestJudgeTools::programWithoutADesktopSessionSaysSo_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QStringList>("settings"); // NAME=value
    QTest::addColumn<QByteArray>("said");      // the start of what it says, its one line
    // An X display number no server here listens on.
    int x = 99;
    while (QFileInfo::exists(QStringLiteral("/tmp/.X11-unix/X%1").arg(x)))
        ++x;
    const QString display = QStringLiteral("DISPLAY=:%1").arg(x);
    for (const char* program : {LUMATRAX_PROGRAM, LUMATRAX_REVIEW_PROGRAM}) {
        const QString name = QFileInfo(QString::fromUtf8(program)).fileName();
        const QByteArray noSession = name.toUtf8() + ": needs a desktop session";
        QTest::addRow("%s, no display", qPrintable(name)) << program << QStringList() << noSession;
        QTest::addRow("%s, an X display not there", qPrintable(name))
            << program << QStringList{display} << noSession;
        QTest::addRow("%s, a Wayland display with no compositor", qPrintable(name))
            << program
            << QStringList{"WAYLAND_DISPLAY=wayland-lumatrax", "XDG_SESSION_TYPE=wayland",
                           "XDG_RUNTIME_DIR=/nonexistent/lumatrax-runtime"}
            << noSession;
    }
    // A platform plugin that cannot load (a library of its is broken) is no missing session:
    // Qt's own reason is said.
    QVERIFY(QDir(m_dir.path()).mkpath(QStringLiteral("broken")));
    QFile broken(path(QStringLiteral("broken/libxcb-icccm.so.4")));
    QVERIFY(broken.open(QIODevice::WriteOnly));
    QTest::addRow("lumatrax, an X plugin that cannot load")
        << QString::fromUtf8(LUMATRAX_PROGRAM)
        << QStringList{display, QStringLiteral("LD_LIBRARY_PATH=") + path(QStringLiteral("broken"))}
        << QByteArray("qt.qpa.plugin: Could not load the Qt platform plugin \"xcb\"");
}

void TestJudgeTools::programWithoutADesktopSessionSaysSo()
{
    QFETCH(QString, program);
    QFETCH(QStringList, settings);
    QFETCH(QByteArray, said);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        environment.remove(QString::fromLatin1(name));
    for (const QString& setting : settings)
        environment.insert(setting.section(u'=', 0, 0), setting.section(u'=', 1));
    const Run started = run(qPrintable(program), {}, environment);
    QCOMPARE(started.status, 1);
    QVERIFY2(started.err.startsWith(said), started.err.constData());
    QVERIFY2(said.startsWith("qt.") || started.err.count('\n') == 1, started.err.constData());
}

void TestJudgeTools::guideTooltipsShowTheNumbersTheJudgeTakes()
{
    test::Rig rig(9, false);
    rig.start();
    auto* high = rig.widget<QSlider>("sliderPos");
    auto* low = rig.widget<QSlider>("sliderOff");
    QVERIFY(high->toolTip().endsWith(u"now 50"));
    rig.setGuides(23, 77);
    QVERIFY2(high->toolTip().endsWith(u"now 23"), qPrintable(high->toolTip()));
    QVERIFY2(low->toolTip().endsWith(u"now 77"), qPrintable(low->toolTip()));
    auto* def = rig.widget<QPushButton>("cmdDef");
    QVERIFY(def->toolTip().contains(u"both guides to the middle"));
    def->click();
    QVERIFY(high->toolTip().endsWith(u"now 50") && low->toolTip().endsWith(u"now 50"));
    for (const char* name : {"cmdClose", "Report", "cmbHorizontal", "cmdPort", "cmdRetry", "cmdRun",
                             "cmdZero", "optRising", "optFalling", "SliderTriggerLevel"})
        QVERIFY2(!rig.widget(name)->toolTip().isEmpty(), name);
}

void TestJudgeTools::damagedCapturesGoThroughTheJudge()
{
    // 400 captures damaged at random (seeded, so a failure repeats): bytes changed, cut short,
    // bytes put in. The judge, the teacher and the frame count must come through each, and agree.
    QRandomGenerator random(20261207);
    const QByteArray pristine = test::simulatedBatch(30, 5, 0.3);
    const QString file = path(QStringLiteral("damaged.lmxcap"));
    for (int n = 0; n < 400; ++n) {
        QByteArray bytes = pristine;
        const int damages = 1 + int(random.bounded(6));
        for (int d = 0; d < damages && !bytes.isEmpty(); ++d) {
            const qsizetype at = qsizetype(random.bounded(quint32(bytes.size())));
            switch (random.bounded(4)) {
            case 0:
                bytes[at] = char(random.bounded(256));
                break;
            case 1:
                bytes.truncate(at);
                break;
            case 2:
                bytes.insert(at,
                             QByteArray(1 + int(random.bounded(300)), char(random.bounded(256))));
                break;
            default:
                bytes[at] = char(bytes[at] ^ 0x80);
                break;
            }
        }
        QVERIFY(save(file, bytes));
        const GuidePositions guides{int(random.bounded(101)), int(random.bounded(101))};
        const JudgeOutcome outcome = judgeCapture(file, guides);
        const JudgeSummary& s = outcome.summary;
        QCOMPARE(s.accepted + s.rejected(), s.frames);
        const TeachOutcome taught = teachFromCapture(file, {10000, 2});
        QCOMPARE(taught.error, outcome.error);
        if (!outcome.error.isEmpty())
            continue;
        QCOMPARE(taught.taught ? taught.taught->frames : 0, s.frames);
        if (taught.taught)
            QCOMPARE(judgeCapture(file, taught.taught->guides).summary.accepted, s.frames);
        CaptureFrameCounter counter(file);
        QCOMPARE(qint64(counter.catchUp()), s.frames);
    }
}

QTEST_MAIN(TestJudgeTools)
#include "tst_judgetools.moc"
