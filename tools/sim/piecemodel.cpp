#include "tools/sim/piecemodel.h"

#include "tools/sim/simrandom.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace lumatrax {

namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Least share of the amplitude that the first swing reaches on the screen: the ring's first
// peak is exp(-t0 / tau) * sin(2 pi f t0) = 0.825 of it (t0 = 18.4 µs), less what sampling
// beside the peak loses (under 2 %).
constexpr double kFirstSwing = 0.80;

// Counts between a good piece and a guide on top of the noise, and the least overshoot of a
// piece outside beyond it.
constexpr double kMargin = 4.0;

// Screen position (percent from the top) to the sample value drawn at that height.
double sampleAtGuide(int percent)
{
    return 255.0 - 2.56 * percent;
}

// The first time at or after `from` (and not before the arrival) at which the ring peaks in one
// direction; `phase` is the first such peak.
double nextPeak(double phase, double period, double from)
{
    const double n = std::max(0.0, std::ceil((std::max(from, 0.0) - phase) / period));
    return phase + n * period;
}

struct Extremes
{
    double high;
    double low;
};

// Highest and lowest value of the signal over [a, b).
Extremes extremesIn(const Piece& piece, double a, double b)
{
    const double omega = kTwoPi * piece.frequency;
    const double period = 1.0 / piece.frequency;
    const double firstPeak = std::atan(omega * PieceModel::kDecaySeconds) / omega;
    const double firstTrough = firstPeak + period / 2.0;
    const double upPhase = piece.polarity > 0 ? firstPeak : firstTrough;
    const double downPhase = piece.polarity > 0 ? firstTrough : firstPeak;

    const double sa = PieceModel::signal(piece, a);
    const double sb = PieceModel::signal(piece, b);
    Extremes e{std::max(sa, sb), std::min(sa, sb)};
    if (b <= 0.0)
        return e;
    if (const double t = nextPeak(upPhase, period, a); t < b)
        e.high = std::max(e.high, PieceModel::signal(piece, t));
    if (const double t = nextPeak(downPhase, period, a); t < b)
        e.low = std::min(e.low, PieceModel::signal(piece, t));
    return e;
}

} // namespace

std::optional<QString> PieceModelOptions::problem() const
{
    if (guideHigh < 5 || guideLow > 95)
        return QStringLiteral("the guides must lie between 5 and 95");
    if (guideLow - guideHigh < 20)
        return QStringLiteral("the Low guide must lie at least 20 below the High guide");
    if (!(rejectShare >= 0.0 && rejectShare <= 1.0))
        return QStringLiteral("the reject share must lie between 0 and 1");
    if (!(noise >= 0.0 && noise <= 20.0))
        return QStringLiteral("the noise must lie between 0 and 20 counts");
    return std::nullopt;
}

PieceModel::PieceModel(const PieceModelOptions& options)
    : m_options(options), m_upper(sampleAtGuide(options.guideHigh)),
      m_lower(sampleAtGuide(options.guideLow))
{}

Piece PieceModel::piece(std::uint64_t number) const
{
    SimRandom random = SimRandom::forItem(m_options.seed, number);
    const double centre = (m_upper + m_lower) / 2.0;
    const double room = (m_upper - m_lower) / 2.0; // from the centre to either guide
    const double margin = kMargin + m_options.noise;

    Piece p;
    const bool outside = random.uniform() < m_options.rejectShare;
    const bool high = random.uniform() < 0.5;
    p.frequency = kRingFrequency * random.uniform(0.97, 1.03);
    if (!outside) {
        // Every value of the ring lies within |offset| + amplitude of the centre.
        const double offset = random.uniform(-0.15, 0.15) * room;
        p.kind = PieceClass::Good;
        p.baseline = centre + offset;
        p.amplitude = random.uniform(0.5, 1.0) * (room - margin - std::abs(offset));
        p.polarity = 1;
    } else {
        // The first swing overshoots its guide by `excess`; the baseline leans the same way.
        const double offset = random.uniform(0.05, 0.25) * room;
        const double excess = random.uniform(margin, 3.0 * margin);
        p.kind = high ? PieceClass::TooHigh : PieceClass::TooLow;
        p.polarity = high ? 1 : -1;
        p.baseline = centre + p.polarity * offset;
        p.amplitude = (room + excess - offset) / kFirstSwing;
    }
    return p;
}

double PieceModel::signal(const Piece& piece, double t)
{
    if (t <= 0.0)
        return piece.baseline;
    return piece.baseline + piece.polarity * piece.amplitude * std::exp(-t / kDecaySeconds) *
                                std::sin(kTwoPi * piece.frequency * t);
}

std::optional<double> PieceModel::triggerTime(const Piece& piece, TriggerEdge edge, double level)
{
    // Steps of a sixteenth of a period over the ring's life find the first crossing between two
    // steps; halving that interval twenty times places it to well under a nanosecond.
    const auto crossed = [&](double before, double now) {
        return edge == TriggerEdge::Rising ? (before < level && now >= level)
                                           : (before > level && now <= level);
    };
    const double step = 1.0 / (16.0 * piece.frequency);
    const double end = 10.0 * kDecaySeconds;
    double before = signal(piece, 0.0);
    for (double t = step; t <= end; t += step) {
        const double now = signal(piece, t);
        if (!crossed(before, now)) {
            before = now;
            continue;
        }
        double low = t - step, high = t;
        for (int i = 0; i < 20; ++i) {
            const double middle = (low + high) / 2.0;
            if (crossed(before, signal(piece, middle)))
                high = middle;
            else
                low = middle;
        }
        return high;
    }
    return std::nullopt;
}

PieceModel::Frame PieceModel::frame(std::uint64_t number, const AcquisitionSettings& settings) const
{
    const Piece p = piece(number);
    // The noise of a piece has a stream of its own, so it never shifts the piece's draws.
    SimRandom noise = SimRandom::forItem(m_options.seed ^ 0x6E6F697365ull, number);

    const double dt = std::chrono::duration<double>(settings.sampleInterval()).count();
    const double period = 1.0 / p.frequency;
    const double t0 =
        triggerTime(p, settings.edge, levelInSampleUnits(settings.levelCode)).value_or(0.0);

    // With a period or more per sample the envelope is drawn: the sample holding the arrival
    // shows the first swing's side (the piece's largest excursion), the next the other side,
    // and so on in turn.
    const auto arrival = kTriggerSample + std::lround(std::floor(-t0 / dt));
    const auto firstSide = [&](const Extremes& e) { return p.polarity > 0 ? e.high : e.low; };
    const auto otherSide = [&](const Extremes& e) { return p.polarity > 0 ? e.low : e.high; };

    Frame frame{};
    for (int k = 0; k < SAMPLES_PER_FRAME; ++k) {
        const double a = t0 + (k - kTriggerSample) * dt;
        double value = 0.0;
        if (dt <= period / 16.0) {
            value = signal(p, a);
        } else {
            const Extremes e = extremesIn(p, a, a + dt);
            if (dt >= period)
                value = (k - arrival) % 2 == 0 ? firstSide(e) : otherSide(e);
            else
                value = e.high - p.baseline >= p.baseline - e.low ? e.high : e.low;
        }
        value += m_options.noise * noise.triangular();
        frame[std::size_t(k)] = std::uint8_t(std::clamp(std::lround(value), 0L, 255L));
    }
    return frame;
}

} // namespace lumatrax
