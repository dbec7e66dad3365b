#pragma once

// The sentences of lumatrax-review's window, from plain values: what the capture is and what its
// reading said, the counts in words, what the picture holds, a frame's verdict and what teaching
// found.

#include "tools/capture/captureformat.h"
#include "tools/capture/capturejudge.h"
#include "tools/capture/guideteacher.h"
#include "tools/review/batchlayers.h"
#include "tools/review/captureloader.h"

#include <QString>

namespace lumatrax {

// Where and when the capture was made, its frames ("so far" until it is gone through and no more
// will come) and the program's reads, then each warning of its reading as the judge says it.
[[nodiscard]] QString captureInfoText(const CaptureHeader& header, const LoadProgress& progress);
// The read-length warning above the picture, for the judge's `warning`.
[[nodiscard]] QString readShiftText(const QString& warning);
// "400 frames: 380 accepted, ...; 5.00 % rejected", with "so far" while more may come.
[[nodiscard]] QString countsText(const JudgeSummary& summary, bool soFar);
// What the batch picture holds: its traces and its rejects, sampled or all.
[[nodiscard]] QString pictureText(const BatchPicture& picture);
[[nodiscard]] QString verdictText(const Verdict& verdict);
// What teaching from the frames of `stretch` found, as rich text; `shiftedReads` when the reads
// may have shifted the frames, said first.
[[nodiscard]] QString taughtText(const TaughtGuides& taught, const QString& stretch, int margin,
                                 bool shiftedReads);

} // namespace lumatrax
