#pragma once

// What is kept of every frame of a capture that is gone through once: where its bytes begin in
// the file, its time and its extremes, 24 bytes a frame. Its verdict at any guides follows from
// the extremes; its samples are read again from the file when a frame is to be drawn.
//
// One thread appends, any number read: a reader sees every frame below size() whole, and a frame
// once appended never moves, so a capture that grows while it is read can go on being appended.

#include "tools/capture/frameextremes.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

namespace lumatrax {

struct IndexedFrame
{
    std::int64_t offset = 0; // of the record that holds its first byte
    std::int64_t atUs = 0;   // since the capture began
    FrameExtremes extremes;
};
static_assert(sizeof(IndexedFrame) <= 24);

class FrameIndex
{
public:
    FrameIndex();
    FrameIndex(const FrameIndex&) = delete;
    FrameIndex& operator=(const FrameIndex&) = delete;

    // The appending thread only. False when the index is full (4 294 967 296 frames).
    bool append(const IndexedFrame& frame);

    // Frames appended and visible to every thread.
    [[nodiscard]] qint64 size() const { return m_size.load(std::memory_order_acquire); }
    // Frame i, for i below size().
    [[nodiscard]] const IndexedFrame& operator[](qint64 i) const
    {
        return m_blocks[std::size_t(i >> kBlockBits)][std::size_t(i & kBlockMask)];
    }

    // The first frame at or after `atUs` among the first `count`; `count` when none is.
    [[nodiscard]] qint64 firstAtOrAfter(std::int64_t atUs, qint64 count) const;

private:
    static constexpr int kBlockBits = 16; // 65536 frames, 1.5 MB, a block
    static constexpr qint64 kBlockMask = (qint64(1) << kBlockBits) - 1;
    static constexpr std::size_t kMostBlocks = std::size_t(1) << 16;

    // Sized once, so a block's place never moves while readers look it up.
    std::vector<std::unique_ptr<IndexedFrame[]>> m_blocks;
    std::atomic<qint64> m_size{0};
};

} // namespace lumatrax
