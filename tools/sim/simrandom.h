#pragma once

// The simulator's random numbers: SplitMix64, chosen because it is tiny, fast, passes the usual
// statistical batteries for this kind of use, and gives the same sequence on every compiler and
// library (the standard distributions do not). Each piece draws from a generator of its own,
// seeded from the run's seed and the piece's number, so piece n is the same whatever came
// before it.

#include <cstdint>

namespace lumatrax {

class SimRandom
{
public:
    explicit constexpr SimRandom(std::uint64_t seed) : m_state(seed) {}

    // A generator for item `number` of the stream `seed`.
    [[nodiscard]] static constexpr SimRandom forItem(std::uint64_t seed, std::uint64_t number)
    {
        SimRandom mixer(seed ^ (number * 0xD1B54A32D192ED03ull));
        return SimRandom(mixer.next());
    }

    constexpr std::uint64_t next()
    {
        std::uint64_t z = (m_state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // Uniform in [0, 1), from the top 53 bits.
    constexpr double uniform() { return double(next() >> 11) * 0x1.0p-53; }

    // Uniform in [low, high).
    constexpr double uniform(double low, double high) { return low + (high - low) * uniform(); }

    // Triangular in (-1, 1), peaked at 0: the sum of two uniforms, bounded unlike a normal.
    constexpr double triangular() { return uniform() + uniform() - 1.0; }

private:
    std::uint64_t m_state;
};

} // namespace lumatrax
