#include "link/protocol.h"

#include <limits>

namespace lumatrax {

std::optional<TrigLevelBytes> trigLevelBytes(std::int32_t v)
{
    const std::int64_t code = (std::int64_t(50) - v) * 20;
    if (code < std::numeric_limits<std::int32_t>::min() ||
        code > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    const std::int32_t high = std::int32_t(code) / 256;
    const std::int32_t low = std::int32_t(code) % 256;
    if (high < 0 || high > 255 || low < 0 || low > 255)
        return std::nullopt;
    return TrigLevelBytes{std::uint8_t(high), std::uint8_t(low)};
}

bool isDeviceAck(QByteArrayView read)
{
    return read.size() == 1 && std::uint8_t(read.at(0)) == DEVICE_ACK;
}

bool decodeFrame(QByteArrayView read, std::span<std::int16_t> samples)
{
    if (read.size() < SAMPLES_PER_FRAME || samples.size() < std::size_t(SAMPLES_PER_FRAME))
        return false;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(read.data());
    for (int k = 0; k < SAMPLES_PER_FRAME; ++k)
        samples[k] = std::int16_t(bytes[k] - SAMPLE_OFFSET);
    return true;
}

} // namespace lumatrax
