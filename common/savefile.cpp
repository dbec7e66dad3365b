#include "common/savefile.h"

#include "common/outputfile.h"

namespace lumatrax {

std::optional<SaveFailure> saveFile(const QString& fileName, QByteArrayView bytes)
{
    // A full disk fails at the write that meets it (or, in place, at the room taken first), with
    // its reason. A failure before commit() leaves the earlier file as it was: the destructor
    // removes a file written beside it.
    OutputFile file;
    if (auto failure = file.open(fileName, OutputFile::Mode::ReplaceOrRewrite))
        return failure;
    if (auto failure = file.reserve(bytes.size()))
        return failure;
    if (auto failure = file.write(bytes))
        return failure;
    return file.commit();
}

} // namespace lumatrax
