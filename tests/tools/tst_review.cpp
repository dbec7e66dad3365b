// The frames the judge finds, each read again by the place the index keeps, and the counts at
// every pair of guides folded from their extremes, against the judge's own verdict on every frame;
// the drift of a batch towards its guides; and lumatrax-review opening a capture, its counts and
// its Sorting Result lines those of lumatrax-judge, its first reject the judge's, its guides
// remembered.

#include "common/outputfile.h"
#include "link/protocol.h"
#include "tests/tools/batchcapture.h"
#include "tools/capture/captureframes.h"
#include "tools/capture/drift.h"
#include "tools/capture/frameextremes.h"
#include "tools/review/framesexport.h"
#include "tools/review/reviewwindow.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QSettings>
#include <QSlider>
#include <QTemporaryDir>
#include <QTest>

#include <map>

#include <sys/file.h>
#include <sys/stat.h>

using namespace lumatrax;

namespace {

constexpr auto I = CaptureDirection::ToProgram;
constexpr auto P = CaptureDirection::ToInstrument;

bool save(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

QByteArray judge(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral(LUMATRAX_JUDGE_PROGRAM), arguments);
    return process.waitForFinished(60'000) ? process.readAllStandardOutput() : QByteArray();
}

} // namespace

class TestReview : public QObject
{
    Q_OBJECT
private slots:
    void countsFromExtremesAreTheJudgesAtEveryPair_data();
    void countsFromExtremesAreTheJudgesAtEveryPair();
    void driftWarnsBeforeTheBatchRejects_data();
    void driftWarnsBeforeTheBatchRejects();
    void reviewWindowCountsAsTheJudge();

private:
    QTemporaryDir m_dir;
};

void TestReview::countsFromExtremesAreTheJudgesAtEveryPair_data()
{
    QTest::addColumn<QByteArray>("capture");
    QTest::newRow("a simulated batch") << test::simulatedBatch(60, 5, 0.5);
    // Byte 191 lies level with guide 25; all 127 level with 50; 255 and 0 at the edges.
    QTest::newRow("samples level with guides and at the edges")
        << test::captureOf({test::spanning(191, 64), QByteArray(SAMPLES_PER_FRAME, char(127)),
                            QByteArray(SAMPLES_PER_FRAME, char(128)), test::spanning(255, 0),
                            QByteArray(SAMPLES_PER_FRAME, char(255))});
    // Frames in packets of 62 bytes with the program's commands between them.
    QByteArray packets = encodeCaptureHeader({});
    test::appendRunStart(packets);
    QByteArray stream;
    for (int n = 0; n < 8; ++n)
        stream += test::spanning(40 + 20 * n, 200 - 10 * n) + QByteArray(10, char(128));
    qsizetype damageAt = 0; // the second packet of the third read
    for (qsizetype at = 0; at < stream.size(); at += 62) {
        if (at == 9 * 62)
            damageAt = packets.size();
        appendCaptureRecord(packets, I, 5'000 + at * 20, stream.mid(at, 62));
        appendCaptureRecord(packets, P, 5'000 + at * 20,
                            toBytes(command(Opcode::CMD_TRIG_LEVEL, 0, 0, 7)));
    }
    QTest::newRow("reads in packets, commands between them") << packets;
    packets[damageAt] = 'X';
    QTest::newRow("a damaged packet passed over inside a read") << packets;
    // A second greeting forgets the half frame waiting; the frames after it count.
    QByteArray again = test::captureOf({test::spanning(150, 100)});
    appendCaptureRecord(again, I, 20'000, QByteArray(100, char(250)));
    appendCaptureRecord(again, P, 30'000, toBytes(SYNC_FRAME) + toBytes(CMD_HELLO));
    appendCaptureRecord(again, I, 40'000, QByteArray(1, char(DEVICE_ACK)));
    appendCaptureRecord(again, I, 1'100'000, test::spanning(20, 240) + QByteArray(10, char(128)));
    QTest::newRow("a second greeting") << again;
    const QByteArray batch = test::simulatedBatch(40, 11, 0.3);
    QTest::newRow("a capture cut inside a record") << batch.first(batch.size() - 77);
}

void TestReview::countsFromExtremesAreTheJudgesAtEveryPair()
{
    QFETCH(QByteArray, capture);
    const QString path = m_dir.filePath(QStringLiteral("pairs.lmxcap"));
    QVERIFY(save(path, capture));

    // The guides as the window lays them, and the judge's verdict on each frame at each pair.
    constexpr int kPairs = GuidePairCounts::kPositions;
    std::vector<SegmentArray> guides(kPairs);
    for (int v = 0; v < kPairs; ++v) {
        layoutSegmentX(guides[std::size_t(v)], kScreenWidthTwips);
        setHorizontal(guides[std::size_t(v)], guideHeight(kScreenHeightTwips, v));
    }
    const SampleHeights heights(kScreenHeightTwips);
    std::vector<JudgeSummary> judged(kPairs * kPairs);
    // The frames the judge finds, in order; each is found again, and read again by its place.
    std::vector<std::pair<std::int64_t, SampleArray>> found;
    (void)judgeCapture(path, {},
                       [&found](const JudgedFrame& f) { found.emplace_back(f.atUs, f.samples); });
    GuidePairCounts counts;
    CaptureFrames frames;
    FrameFetcher fetcher;
    QVERIFY(!frames.open(path) && fetcher.open(path));
    while (const CaptureFrame* frame = frames.next()) {
        QVERIFY(std::size_t(counts.frames()) < found.size());
        QCOMPARE(std::pair(frame->atUs, frame->samples), found[std::size_t(counts.frames())]);
        QCOMPARE(fetcher.fetch(frame->offset), std::optional(frame->samples));
        SegmentArray trace = guides[0];
        mapTrace(trace, frame->samples, heights);
        const FrameExtremes extremes = extremesOf(frame->samples);
        counts.add(extremes);
        for (int u = 0; u < kPairs; ++u) {
            for (int l = 0; l < kPairs; ++l) {
                const Verdict verdict =
                    judge(trace, guides[std::size_t(u)], guides[std::size_t(l)]);
                QCOMPARE(verdictAt(extremes, {u, l}), verdict);
                judged[std::size_t(u * kPairs + l)].add(verdict);
            }
        }
    }
    QCOMPARE(std::size_t(counts.frames()), found.size());
    counts.settle();
    for (int u = 0; u < kPairs; ++u)
        for (int l = 0; l < kPairs; ++l)
            QCOMPARE(counts.summary({u, l}), judged[std::size_t(u * kPairs + l)]);
}

void TestReview::driftWarnsBeforeTheBatchRejects_data()
{
    // Frames as (time in ms, highest sample, lowest sample), judged at the guides 25,75: guide
    // 25 lies at 1204 twips, level with sample 63; sample 60 lies 1.2 steps inside it, sample
    // 40 9.0 steps, sample 70 outside. Sample -40 lies 9.8 steps inside guide 75.
    QTest::addColumn<QList<qint64>>("frames");
    QTest::addColumn<qint64>("binUs");
    QTest::addColumn<QString>("upper");
    QTest::addColumn<QString>("lower");
    auto frames = [](qint64 count, qint64 everyMs, auto highest) {
        QList<qint64> out;
        for (qint64 k = 0; k < count; ++k)
            out << k * everyMs << highest(k) << -40;
        return out;
    };
    const QString quiet =
        QStringLiteral("drift lower: margin 9.8 -> 9.8 steps (median of the first "
                       "and last bin), 0.0 steps/hour; never within 3 steps");
    QTest::newRow("one bin: margins, no slope")
        << QList<qint64>{0, 63, -64, 500, 63, -64} << qint64(1'000'000)
        << QStringLiteral("drift upper: margin 0.0 steps (median of the only bin), no slope; "
                          "within 3 steps since 00:00:00")
        << QStringLiteral("drift lower: margin 0.4 steps (median of the only bin), no slope; "
                          "within 3 steps since 00:00:00");
    QTest::newRow("creeping up to the upper guide warns since the run began")
        << frames(100, 1000, [](qint64 k) { return k < 50 ? 40 : 60; }) << qint64(1'000'000)
        << QStringLiteral("drift upper: margin 9.0 -> 1.2 steps (median of the first and last "
                          "bin), -425.9 steps/hour; within 3 steps since 00:00:50")
        << quiet;
    QTest::newRow("a run that ends before the capture does is no warning")
        << frames(100, 1000, [](qint64 k) { return k >= 30 && k < 60 ? 60 : 40; })
        << qint64(1'000'000)
        << QStringLiteral("drift upper: margin 9.0 -> 9.0 steps (median of the first and last "
                          "bin), 46.9 steps/hour; within 3 steps from 00:00:30 to 00:01:00, not "
                          "at the end")
        << quiet;
    QTest::newRow("bins rejecting a twentieth of their frames are no warning")
        << frames(200, 50, [](qint64 k) { return k % 20 == 0 ? 70 : 60; }) << qint64(1'000'000)
        << QStringLiteral("drift upper: margin 1.2 -> 1.2 steps (median of the first and last "
                          "bin), 0.0 steps/hour; never within 3 steps")
        << quiet;
    QList<qint64> gap = frames(10, 1000, [](qint64) { return 60; });
    for (qint64 k = 90; k < 100; ++k)
        gap << k * 1000 << 60 << -40;
    QTest::newRow("empty bins leave the run unbroken")
        << gap << qint64(1'000'000)
        << QStringLiteral("drift upper: margin 1.2 -> 1.2 steps (median of the first and last "
                          "bin), 0.0 steps/hour; within 3 steps since 00:00:00")
        << quiet;
    // 100 s in bins of 1 s: the last frame, on the end of the last bin, counts in it.
    QTest::newRow("no bin for the last frame alone")
        << frames(101, 1000, [](qint64 k) { return k < 100 ? 60 : 40; }) << qint64(1'000'000)
        << QStringLiteral("drift upper: margin 1.2 -> 1.2 steps (median of the first and last "
                          "bin), 0.0 steps/hour; within 3 steps since 00:00:00")
        << quiet;
    QTest::newRow("bins are a hundredth of the span")
        << QList<qint64>{0, 40, -40, 250'000, 40, -40} << qint64(2'500'000)
        << QStringLiteral("drift upper: margin 9.0 -> 9.0 steps (median of the first and last "
                          "bin), 0.0 steps/hour; never within 3 steps")
        << quiet;
}

void TestReview::driftWarnsBeforeTheBatchRejects()
{
    QFETCH(QList<qint64>, frames);
    QFETCH(qint64, binUs);
    QFETCH(QString, upper);
    QFETCH(QString, lower);
    DriftFold fold(frames.first() * 1000, frames[frames.size() - 3] * 1000);
    for (qsizetype i = 0; i + 2 < frames.size(); i += 3)
        fold.add(frames[i] * 1000, {std::int8_t(frames[i + 1]), std::int8_t(frames[i + 2])});
    const DriftReport report = fold.report({25, 75});
    QCOMPARE(report.binUs, binUs);
    QCOMPARE(driftLine(report, GuideSide::Upper), upper);
    QCOMPARE(driftLine(report, GuideSide::Lower), lower);
}

void TestReview::reviewWindowCountsAsTheJudge()
{
    const QString capture = m_dir.filePath(QStringLiteral("batch.lmxcap"));
    QVERIFY(save(capture, test::simulatedBatch(400, 5, 0.3)));
    QSettings settings(m_dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    QStringList messages;
    auto record = [&messages](QWidget*, const QString&, const QString& text) { messages << text; };
    {
        ReviewWindow window(&settings);
        window.setMessageBox(record);
        window.show();
        window.openCapture(capture);
        QTRY_VERIFY_WITH_TIMEOUT(window.isLoaded(), 60'000);
        QCOMPARE(window.windowTitle(), QStringLiteral("batch.lmxcap - Lumatrax Review"));
        QVERIFY(window.findChild<QLabel*>("guidesNote")
                    ->text()
                    .startsWith(u"50,50: the window's "
                                "start-up guides"));

        window.findChild<QSlider*>("sliderPos")->setValue(25);
        window.findChild<QSlider*>("sliderOff")->setValue(75);
        const QStringList guides{QStringLiteral("--guides"), QStringLiteral("25,75")};
        const QByteArray report = judge(QStringList{capture, QStringLiteral("--report")} + guides);
        const QByteArray lines = report.mid(report.indexOf(" SORTING RESULT"));
        for (const char* name : {"txtNumTested", "txtNumAccepted", "txtNumUpper", "txtNumLower"}) {
            const QString count = window.findChild<QLineEdit*>(name)->text();
            QVERIFY2(lines.contains(": " + count.toLatin1() + '\n'), name);
        }
        QTest::keyClick(&window, Qt::Key_C, Qt::ControlModifier | Qt::ShiftModifier);
        QCOMPARE(QGuiApplication::clipboard()->text().toLatin1(), lines);

        // N shows the first frame the judge rejects.
        const QList<QByteArray> verdicts =
            judge(QStringList{capture, QStringLiteral("--frames")} + guides).split('\n');
        qsizetype first = 0;
        while (!verdicts[first + 1].contains("REJECT")) // after the header line
            ++first;
        QTest::keyClick(&window, Qt::Key_N);
        QVERIFY(window.findChild<QLabel*>("frameNote")
                    ->text()
                    .startsWith(QStringLiteral("Frame %1 of 400").arg(first + 1)));

        // A file that is no capture: one message, and the capture shown stays.
        const QString notes = m_dir.filePath(QStringLiteral("notes.txt"));
        QVERIFY(save(notes, "guides 25,75\n"));
        window.openCapture(notes);
        QCOMPARE(messages.size(), 1);
        QVERIFY(messages.first().endsWith(u"is not a Lumatrax capture"));
        // Nor a named pipe, said at once rather than waited on for a writer.
        const QString pipe = m_dir.filePath(QStringLiteral("line.fifo"));
        QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0600) == 0);
        window.openCapture(pipe);
        QCOMPARE(messages.size(), 2);
        QVERIFY(messages.last().contains(u"not a regular file"));
        QCOMPARE(window.counts(), judgeCapture(capture, {25, 75}).summary);
    }
    // The table of its frames is written by the writer's rule, but never over the capture.
    QFile file(capture);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    FramesExport over(capture, fileKey(file.handle()), capture, {25, 75});
    QTRY_VERIFY(over.finished());
    QVERIFY(over.failure() && over.failure()->reason.contains(u"the capture itself"));
    QFile after(capture);
    QVERIFY(after.open(QIODevice::ReadOnly));
    QCOMPARE(after.readAll(), before);
    // Opened again, the capture comes back at the guides last used for it.
    ReviewWindow again(&settings);
    again.openCapture(capture);
    QCOMPARE(again.guides().upper, 25);
    QCOMPARE(again.guides().lower, 75);
    QVERIFY(again.findChild<QLabel*>("guidesNote")->isHidden());

    // A capture still written, locked as the tap locks it, is followed: a greeting whose answer
    // is still to come, the frames that come, a record cut at its growing end waited for, and
    // its end told.
    const QByteArray batch = test::simulatedBatch(30, 7, 0.3);
    const qsizetype burst = kCaptureRecordHeadLength + FRAME_RX_THRESHOLD;
    QFile tap(m_dir.filePath(QStringLiteral("growing.lmxcap")));
    QVERIFY(tap.open(QIODevice::WriteOnly) && ::flock(tap.handle(), LOCK_EX) == 0);
    auto writeUpTo = [&](qsizetype end) { return tap.write(batch.first(end).sliced(tap.pos())); };
    const qsizetype greeting = encodeCaptureHeader({}).size() + kCaptureRecordHeadLength + 8;
    QVERIFY(writeUpTo(greeting) > 0 && tap.flush());
    again.openCapture(tap.fileName(), GuidePositions{25, 75});
    QTRY_VERIFY_WITH_TIMEOUT(again.isFollowing(), 60'000);
    QCOMPARE(again.windowTitle(), QStringLiteral("growing.lmxcap (live) - Lumatrax Review"));
    QVERIFY(writeUpTo(batch.size() - 10 * burst - 100) > 0 && tap.flush());
    QTRY_VERIFY_WITH_TIMEOUT(again.counts().frames == 19, 60'000);
    auto* info = again.findChild<QLabel*>("captureInfo");
    QVERIFY2(!info->text().contains(u"Warning"), qPrintable(info->text()));
    QVERIFY(writeUpTo(batch.size()) > 0);
    tap.close();
    QTRY_VERIFY_WITH_TIMEOUT(again.isLoaded(), 60'000);
    QCOMPARE(again.windowTitle(), QStringLiteral("growing.lmxcap (ended) - Lumatrax Review"));
    QCOMPARE(again.counts(), judgeCapture(tap.fileName(), {25, 75}).summary);
    QVERIFY2(!info->text().contains(u"Warning"), qPrintable(info->text()));
}

QTEST_MAIN(TestReview)
#include "tst_review.moc"
