// Fuzz target: captures, which travel from the line to the desk and are untrusted input. The
// input is a capture file, through the capture reader and the read model as lumatrax-judge goes
// through it, the guide teacher and the tap's frame count. The first byte chooses what the rest
// is: with its lowest bit clear, the whole file as it stands; with it set, records behind a sound
// header and a greeted, acknowledged, running program, so the fuzzer reaches the frames at once.
// The next two bytes are the guides. Checked: every frame is accepted or rejected, the damaged
// stretches skipped lie in order inside the file, one warning each, the teacher and the frame
// count see exactly the judge's frames, and the taught guides accept at least the share asked
// for. Any difference aborts, and the fuzzer keeps the input.

#include "fuzz/fuzzsupport.h"
#include "link/protocol.h"
#include "tools/capture/captureformat.h"
#include "tools/capture/captureframecounter.h"
#include "tools/capture/capturejudge.h"
#include "tools/capture/guideteacher.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

using namespace lumatrax;

using fuzz::require;

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    (void)fuzz::scratchDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 3)
        return 0;
    const GuidePositions guides{data[1] % 101, data[2] % 101};
    const QByteArray rest(reinterpret_cast<const char*>(data + 3), qsizetype(size - 3));
    QByteArray file;
    if (data[0] & 1) {
        file = encodeCaptureHeader({});
        appendCaptureRecord(file, CaptureDirection::ToInstrument, 0,
                            toBytes(SYNC_FRAME) + toBytes(CMD_HELLO));
        appendCaptureRecord(file, CaptureDirection::ToProgram, 0, QByteArray(1, char(DEVICE_ACK)));
        appendCaptureRecord(file, CaptureDirection::ToInstrument, 0,
                            toBytes(command(Opcode::CMD_RUN, 0, 0, 1)));
    }
    file += rest;

    const QString path =
        QDir(fuzz::scratchDirectory().path()).filePath(QStringLiteral("input.lmxcap"));
    {
        QFile out(path);
        require(out.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
                    out.write(file) == file.size(),
                "the capture could not be written");
    }

    const JudgeOutcome judged = judgeCapture(path, guides);
    const JudgeSummary& s = judged.summary;
    require(s.accepted + s.rejected() == s.frames, "a frame was neither accepted nor rejected");
    qint64 passed = 0;
    for (const CaptureReader::Skip& skip : judged.skipped) {
        require(skip.offset >= passed && skip.bytes > 0 && skip.offset + skip.bytes <= file.size(),
                "a skip lies outside the file or out of order");
        passed = skip.offset + skip.bytes;
    }
    require(judged.warnings.size() >= qsizetype(judged.skipped.size()), "a skip was not said");

    const int keep = 1 + data[0] * 39; // 0.01 % .. 99.46 %, and all when the byte is 0
    const TeachOutcome taught = teachFromCapture(path, {data[0] == 0 ? 10000 : keep, data[1] % 8});
    require(taught.error == judged.error, "the teacher and the judge read the file differently");
    if (!judged.error.isEmpty())
        return 0;
    require((taught.taught ? taught.taught->frames : 0) == s.frames,
            "the teacher saw other frames than the judge");
    if (taught.taught) {
        const JudgeSummary atTaught = judgeCapture(path, taught.taught->narrowest).summary;
        require(atTaught.accepted == taught.taught->kept, "the band accepts other frames");
        require(atTaught.accepted >= taught.taught->needed, "the band keeps too few frames");
    }

    CaptureFrameCounter counter(path);
    require(qint64(counter.catchUp()) == s.frames, "the frame count differs from the judge's");
    return 0;
}
