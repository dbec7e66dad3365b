#include "tools/capture/frameindex.h"

namespace lumatrax {

FrameIndex::FrameIndex() : m_blocks(kMostBlocks) {}

bool FrameIndex::append(const IndexedFrame& frame)
{
    const qint64 i = m_size.load(std::memory_order_relaxed);
    const std::size_t block = std::size_t(i >> kBlockBits);
    if (block >= kMostBlocks)
        return false;
    if (!m_blocks[block])
        m_blocks[block] = std::make_unique<IndexedFrame[]>(std::size_t(1) << kBlockBits);
    m_blocks[block][std::size_t(i & kBlockMask)] = frame;
    m_size.store(i + 1, std::memory_order_release);
    return true;
}

qint64 FrameIndex::firstAtOrAfter(std::int64_t atUs, qint64 count) const
{
    // Times never go back, so the frames are in time order.
    qint64 low = 0, high = count;
    while (low < high) {
        const qint64 middle = low + (high - low) / 2;
        if ((*this)[middle].atUs < atUs)
            low = middle + 1;
        else
            high = middle;
    }
    return low;
}

} // namespace lumatrax
