#pragma once

// Keeps the bursts that the instrument writes to the pace of a real serial line. A burst goes to
// the pseudo-terminal in one write, which delivers it at once; on a real line its bytes follow
// one another at the line rate, so the line stays busy for bytes x byte time and the next burst
// cannot start before that. Times are absolute points on the steady clock, and a burst occupies
// the line from when it actually went out: when the writing thread wakes up late, the bursts
// after it move with it. A late wake-up so costs rate, never spacing: two bursts never reach the
// program closer together than the line could carry them, which catching up on a schedule kept
// from the planned starts would do.

#include <QByteArray>
#include <QtGlobal>

#include <algorithm>
#include <chrono>
#include <deque>
#include <optional>

namespace lumatrax {

class LinePacer
{
public:
    using Clock = std::chrono::steady_clock;

    // Time on the line of one byte with a start bit, 8 data bits, no parity and a stop bit:
    // 10 bit times, 20 µs at 500000 bit/s.
    [[nodiscard]] static constexpr std::chrono::nanoseconds byteTime(int bitsPerSecond)
    {
        return std::chrono::nanoseconds(std::chrono::seconds(10)) / bitsPerSecond;
    }

    explicit LinePacer(std::chrono::nanoseconds byteTime) : m_byteTime(byteTime) {}

    // When a burst that is ready at `readyAt` may start: once it is ready and the line is free.
    [[nodiscard]] Clock::time_point startFor(Clock::time_point readyAt) const
    {
        return std::max(readyAt, m_freeAt);
    }

    // The line sends `bytes` bytes from `start` on; returns when it is free again.
    Clock::time_point occupy(Clock::time_point start, qsizetype bytes)
    {
        const Clock::time_point end = start + m_byteTime * bytes;
        m_freeAt = std::max(m_freeAt, end);
        return m_freeAt;
    }

    // When the line has sent everything given to it so far.
    [[nodiscard]] Clock::time_point freeAt() const { return m_freeAt; }

    // Everything still to be sent goes `by` later.
    void postpone(Clock::duration by) { m_freeAt += by; }

    [[nodiscard]] std::chrono::nanoseconds byteTime() const { return m_byteTime; }

private:
    std::chrono::nanoseconds m_byteTime;
    Clock::time_point m_freeAt{};
};

// What a USB serial adapter (or a UART's receive FIFO) makes of the byte stream on the line: it
// collects the bytes as they arrive, one every byte time, and hands them to the computer in
// packets. A packet goes as soon as it is full; one that is not full goes only when the stream
// has paused for the hold time (an adapter's latency timer, 1 to 16 ms for common chips), and at
// the least for a byte time: a byte that follows its predecessor within one byte time belongs to
// the same unbroken stream. Bursts sent back to back are one stream, and their packets take no
// notice of where one burst ends and the next begins.
//
// Bursts are added with the moment their first byte starts on the line; a burst's byte k has
// arrived one byte time after its start bit, at start + (k + 1) x byte time. Plain arithmetic
// on the steady clock, so it can be tested without a line.
class PacketLine
{
public:
    using Clock = std::chrono::steady_clock;

    struct Packet
    {
        qsizetype length = 0;
        Clock::time_point due; // when the adapter hands it over
    };

    PacketLine(std::chrono::nanoseconds byteTime, int packetSize, std::chrono::nanoseconds hold)
        : m_byteTime(byteTime), m_packetSize(std::max(1, packetSize)),
          m_hold(std::max(hold, byteTime))
    {}

    // A burst whose first byte starts at `start`, no earlier than the last byte of the burst
    // before it has arrived. `tag` is the caller's, handed back as the burst goes out.
    void add(Clock::time_point start, QByteArray bytes, int tag = 0)
    {
        if (!bytes.isEmpty())
            m_bursts.push_back({std::move(bytes), start, 0, tag});
    }

    [[nodiscard]] bool isEmpty() const { return m_bursts.empty(); }

    // The next packet from what has been added so far: the first packet-size bytes, cut short at
    // the first pause longer than the hold time. When the bytes end short of a full packet, the
    // packet is due a hold time after the last one, unless a burst added before then carries on
    // the stream.
    [[nodiscard]] std::optional<Packet> next() const
    {
        qsizetype count = 0;
        Clock::time_point last;
        for (const Burst& burst : m_bursts) {
            if (count > 0 && arrival(burst, burst.taken) - last > m_hold)
                return Packet{count, last + m_hold};
            const qsizetype take =
                std::min(burst.bytes.size() - burst.taken, qsizetype(m_packetSize) - count);
            count += take;
            last = arrival(burst, burst.taken + take - 1);
            if (count == m_packetSize)
                return Packet{count, last};
        }
        if (count == 0)
            return std::nullopt;
        return Packet{count, last + m_hold};
    }

    // The first `count` bytes still on the line.
    [[nodiscard]] QByteArray peek(qsizetype count) const
    {
        QByteArray bytes;
        bytes.reserve(count);
        for (const Burst& burst : m_bursts) {
            if (bytes.size() >= count)
                break;
            const qsizetype take = std::min(burst.bytes.size() - burst.taken, count - bytes.size());
            bytes.append(QByteArrayView(burst.bytes).sliced(burst.taken, take));
        }
        return bytes;
    }

    // The first `count` bytes have been handed over. `handed(tag, bytes, whole)` is called for
    // each burst they belong to, in order; `whole` once its last byte has gone.
    template <typename Handed> void consume(qsizetype count, Handed&& handed)
    {
        while (count > 0 && !m_bursts.empty()) {
            Burst& burst = m_bursts.front();
            const qsizetype take = std::min(burst.bytes.size() - burst.taken, count);
            burst.taken += take;
            count -= take;
            const bool whole = burst.taken == burst.bytes.size();
            const int tag = burst.tag;
            if (whole)
                m_bursts.pop_front();
            handed(tag, take, whole);
        }
    }

    // Everything still on the line arrives `by` later.
    void postpone(Clock::duration by)
    {
        for (Burst& burst : m_bursts)
            burst.start += by;
    }

    [[nodiscard]] int packetSize() const { return m_packetSize; }
    [[nodiscard]] std::chrono::nanoseconds hold() const { return m_hold; }

private:
    struct Burst
    {
        QByteArray bytes;
        Clock::time_point start;
        qsizetype taken = 0;
        int tag = 0;
    };

    [[nodiscard]] Clock::time_point arrival(const Burst& burst, qsizetype index) const
    {
        return burst.start + m_byteTime * (index + 1);
    }

    std::chrono::nanoseconds m_byteTime;
    int m_packetSize;
    std::chrono::nanoseconds m_hold;
    std::deque<Burst> m_bursts;
};

} // namespace lumatrax
