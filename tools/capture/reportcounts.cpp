#include "tools/capture/reportcounts.h"

#include "report/reportfile.h"

#include <QList>

namespace lumatrax {

QByteArray sortingResultLines(const JudgeSummary& summary)
{
    ReportFields fields;
    fields.piecesTested = QString::number(summary.frames);
    fields.piecesAccepted = QString::number(summary.accepted);
    fields.upperRejected = QString::number(summary.rejectedAbove + summary.rejectedBoth);
    fields.lowerRejected = QString::number(summary.rejectedBelow + summary.rejectedBoth);
    const QList<QByteArray> lines = reportBytes(fields).split('\n');
    QByteArray out;
    for (int n = kSortingResultFirstLine; n <= kSortingResultLastLine; ++n) {
        QByteArray line = lines[n - 1];
        line.chop(1); // the CR of the file's CR LF
        out += line + '\n';
    }
    return out;
}

QByteArray countedTwiceLine(const JudgeSummary& summary)
{
    return "(" + QByteArray::number(summary.rejectedBoth) +
           (summary.rejectedBoth == 1 ? " frame" : " frames") +
           " went both above and below the guides: counted in both Upper and Lower Reject)\n";
}

} // namespace lumatrax
