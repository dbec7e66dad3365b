// make-batch-capture OUT FRAMES [SEED [REJECT-SHARE]]: writes a capture of a simulated batch
// (see batchcapture.h), to try lumatrax-judge on a large capture or to draw a picture of one.

#include "tests/tools/batchcapture.h"

#include <QFile>

#include <cstdio>
#include <cstdlib>

int main(int argc, char* argv[])
{
    if (argc < 3) {
        std::fputs("usage: make-batch-capture OUT FRAMES [SEED [REJECT-SHARE]]\n", stderr);
        return 2;
    }
    const qint64 frames = std::atoll(argv[2]);
    lumatrax::test::BatchOptions batch;
    batch.seed = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1;
    batch.rejectShare = argc > 4 ? std::atof(argv[4]) : 0.1;
    QFile out(QString::fromLocal8Bit(argv[1]));
    if (!out.open(QIODevice::WriteOnly | QIODevice::NewOnly) ||
        !lumatrax::test::writeSimulatedBatch(out, frames, batch) || !out.flush()) {
        std::fprintf(stderr, "make-batch-capture: %s: %s\n", argv[1],
                     qPrintable(out.errorString()));
        return 1;
    }
    return 0;
}
