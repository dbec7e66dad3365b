#include "tools/review/reviewtext.h"

#include "tools/capture/framecsv.h"
#include "tools/review/reviewwindowui.h"

namespace lumatrax {

QString captureInfoText(const CaptureHeader& header, const LoadProgress& progress)
{
    QString info =
        QStringLiteral("Captured from %1 on %2; %3 frames%4; the program's reads: %5.")
            .arg(wallClockUtc(header.startedAtUs, 0),
                 header.device.isEmpty() ? QStringLiteral("(no device named)") : header.device)
            .arg(progress.counts.frames())
            .arg(progress.finished ? QString() : QStringLiteral(" so far"))
            .arg(describeReadLengths(progress.reads));
    // What was skipped or cut, as the judge says it.
    for (const QString& warning : progress.warnings)
        info += QStringLiteral("\nWarning: ") + warning + QLatin1Char('.');
    if (progress.finished && progress.acknowledged == 0)
        info += QStringLiteral("\nThe instrument never acknowledged the program in this capture "
                               "(%1 greetings): it holds no frames.")
                    .arg(progress.greetings);
    return info;
}

QString readShiftText(const QString& warning)
{
    return QStringLiteral("Warning: %1. A read that takes the head of the next burst shifts every "
                          "later frame: check the adapter's latency timer and that the instrument "
                          "pauses between pieces.")
        .arg(warning);
}

QString countsText(const JudgeSummary& s, bool soFar)
{
    return QStringLiteral("%1 frames%2: %3 accepted, %4 rejected above only, %5 below only, %6 "
                          "both; %7 % rejected")
        .arg(s.frames)
        .arg(soFar ? QStringLiteral(" so far") : QString())
        .arg(s.accepted)
        .arg(s.rejectedAbove)
        .arg(s.rejectedBelow)
        .arg(s.rejectedBoth)
        .arg(100.0 * s.rejectShare(), 0, 'f', 2);
}

QString pictureText(const BatchPicture& p)
{
    const QString traces = p.tracesComplete ? QStringLiteral("every trace")
                                            : QStringLiteral("%1 traces so far").arg(p.tracesDrawn);
    const QString rejects = p.rejectsDrawn < p.rejected
                                ? QStringLiteral("rejects in amber: %1 of %2, evenly sampled")
                                      .arg(p.rejectsDrawn)
                                      .arg(p.rejected)
                                : QStringLiteral("rejects in amber: all %1").arg(p.rejected);
    return traces + QStringLiteral("; ") + rejects;
}

QString verdictText(const Verdict& v)
{
    if (v.aboveUpper && v.belowLower)
        return QStringLiteral("REJECT, above the upper guide and below the lower");
    if (v.aboveUpper)
        return QStringLiteral("REJECT, above the upper guide");
    if (v.belowLower)
        return QStringLiteral("REJECT, below the lower guide");
    return QStringLiteral("ACCEPT");
}

QString taughtText(const TaughtGuides& taught, const QString& stretch, int margin,
                   bool shiftedReads)
{
    QString note = QStringLiteral("Taught from %1 frames, %2: the narrowest band that accepts at "
                                  "least %3 of them is %4,%5 (it accepts %6); widened by %7: "
                                  "%8,%9.")
                       .arg(taught.frames)
                       .arg(stretch)
                       .arg(taught.needed)
                       .arg(taught.narrowest.upper)
                       .arg(taught.narrowest.lower)
                       .arg(taught.kept)
                       .arg(margin)
                       .arg(taught.guides.upper)
                       .arg(taught.guides.lower)
                       .toHtmlEscaped();
    // Said first: frames shifted by the read rule teach the wrong band.
    if (shiftedReads)
        note = QStringLiteral("<span style=\"color:%1; background:black\">The program's reads may "
                              "have shifted these frames (see the warning above): the taught "
                              "guides may not fit the pieces.</span> ")
                   .arg(QLatin1String(kReviewAmber)) +
               note;
    return note;
}

} // namespace lumatrax
