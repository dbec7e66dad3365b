// Fuzz target: the configuration file reader, on arbitrary file contents.
//
// Each input is the whole content of Lumatrax.cfg. It is parsed directly and read back from a
// real file, and both must agree with a reference reading worked out here: blanks skipped, an
// optional sign, decimal digits, a value that fits 16 bits, from the first kMaxConfigRead bytes
// only. Every port number that was read must survive being written and read again unchanged.

#include "fuzz/fuzzsupport.h"
#include "link/configfile.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <bitset>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>

using namespace lumatrax;

namespace {

using fuzz::require;

std::optional<std::int16_t> referenceReading(QByteArrayView content)
{
    content = content.first(std::min<qsizetype>(content.size(), kMaxConfigRead));
    qsizetype i = 0;
    while (i < content.size() && (content[i] == ' ' || content[i] == '\t'))
        ++i;
    int sign = 1;
    if (i < content.size() && (content[i] == '+' || content[i] == '-'))
        sign = content[i++] == '-' ? -1 : 1;
    const qsizetype digits = i;
    long long value = 0;
    for (; i < content.size() && content[i] >= '0' && content[i] <= '9'; ++i) {
        value = value * 10 + (content[i] - '0');
        if (value > 100000)
            return std::nullopt; // far past 16 bits whatever follows
    }
    if (i == digits)
        return std::nullopt;
    value *= sign;
    if (value < INT16_MIN || value > INT16_MAX)
        return std::nullopt;
    return std::int16_t(value);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    (void)fuzz::scratchDirectory();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArrayView content(data, qsizetype(size));
    const std::optional<std::int16_t> expected = referenceReading(content);
    require(parsePortNumber(content.first(std::min<qsizetype>(size, kMaxConfigRead))) == expected,
            "parsing differs from the reference reading");

    const QString path = configFilePath(fuzz::scratchDirectory().path());
    {
        QFile file(path);
        require(file.open(QIODevice::WriteOnly | QIODevice::Truncate), "cannot write the file");
        require(file.write(content.data(), content.size()) == content.size(),
                "cannot write the content");
    }
    require(readPortNumber(path) == expected, "reading the file differs from the reference");

    // Each port number is written once: the writer syncs the file, which is slow.
    static std::bitset<65536> written;
    if (expected && !written[std::uint16_t(*expected)]) {
        written[std::uint16_t(*expected)] = true;
        require(!writePortNumber(path, *expected), "writing a port number failed");
        require(readPortNumber(path) == expected, "a written port number reads back otherwise");
        QFile file(path);
        require(file.open(QIODevice::ReadOnly) && file.readAll() == formatPortNumber(*expected),
                "a written file holds more than the number and CR LF");
    }
    return 0;
}
