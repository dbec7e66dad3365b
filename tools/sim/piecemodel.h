#pragma once

// The signal of a sorting line as the simulated instrument digitises it: one piece per frame.
//
// A piece passing the sensor rings: from its arrival at t = 0 the signal is
//
//     s(t) = baseline + polarity * amplitude * exp(-t / tau) * sin(2 pi f t)
//
// and the baseline before it, with f near 12.5 kHz and tau = 100 µs, so at the default 40 µs per
// division a frame shows the whole ring. Baseline, amplitude and polarity vary from piece to
// piece. A good piece stays inside the guides the model is made for, with a margin larger than
// the noise. A piece too high (rejectShare / 2 of them) swings up through the upper guide, one
// too low swings down through the lower guide first; both overshoot by a few counts to a few
// tens of counts and stay inside on the other side, as long as the guides are not narrow. All
// values are in sample units: byte values 0..255, 128 being the zero line.
//
// Acquisition follows the instrument's settings:
// - the timebase fixes the time between samples: the screen's ten divisions over 200 samples,
//   a twentieth of a division;
// - the trigger fires at the first crossing of the trigger level in the set direction after the
//   piece arrives, found on the noise-free signal, and that instant lies on kTriggerSample; with
//   no such crossing the instrument runs free and the piece arrives on kTriggerSample;
// - when samples lie far apart, a sample is the peak of its interval (peak detect), so a ring
//   squeezed into a few samples still shows its full swing: for an interval shorter than a
//   period the larger swing from the baseline, for longer intervals the two sides in turn,
//   starting with the first swing's side at the arrival, which draws the envelope;
// - each sample then gets triangular noise of at most `noise` counts and is rounded and clipped
//   to a byte.
//
// Everything is deterministic: piece n of a seed is the same whatever came before, and its
// frame depends only on the piece and the settings.

#include "link/protocol.h"
#include "tools/sim/acquisitionsettings.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>

namespace lumatrax {

struct PieceModelOptions
{
    std::uint64_t seed = 1;
    double rejectShare = 0.1; // share of pieces outside the guides, 0..1
    // Guide positions the pieces are made for, as the program's guide sliders give them:
    // percent of the screen height from the top; High above Low.
    int guideHigh = 25;
    int guideLow = 75;
    double noise = 2.0; // largest noise excursion, counts

    // Why the options cannot make pieces, or nothing when they can: guides 5..95 (so a piece
    // can lie above and below them), at least 20 apart, share in 0..1, noise in 0..20.
    [[nodiscard]] std::optional<QString> problem() const;
};

enum class PieceClass { Good, TooHigh, TooLow };

struct Piece
{
    PieceClass kind = PieceClass::Good;
    double baseline = 128.0;
    double amplitude = 0.0;
    int polarity = 1;           // +1: the first swing goes up
    double frequency = 12500.0; // Hz
};

class PieceModel
{
public:
    using Frame = std::array<std::uint8_t, SAMPLES_PER_FRAME>;

    // Where the trigger instant lies on the screen: a quarter of the way across.
    static constexpr int kTriggerSample = SAMPLES_PER_FRAME / 4;
    static constexpr double kRingFrequency = 12500.0;
    static constexpr double kDecaySeconds = 100e-6;

    explicit PieceModel(const PieceModelOptions& options);

    [[nodiscard]] const PieceModelOptions& options() const { return m_options; }

    // Sample values of the guides' heights: a sample above upperLimit() or below lowerLimit()
    // is outside them.
    [[nodiscard]] double upperLimit() const { return m_upper; }
    [[nodiscard]] double lowerLimit() const { return m_lower; }

    [[nodiscard]] Piece piece(std::uint64_t number) const;
    [[nodiscard]] Frame frame(std::uint64_t number, const AcquisitionSettings& settings) const;

    // The noise-free signal of a piece at t seconds from its arrival.
    [[nodiscard]] static double signal(const Piece& piece, double t);
    // Seconds from the piece's arrival to the trigger, or nothing when the signal never crosses
    // `level` in the direction of `edge`.
    [[nodiscard]] static std::optional<double> triggerTime(const Piece& piece, TriggerEdge edge,
                                                           double level);

private:
    PieceModelOptions m_options;
    double m_upper = 0.0;
    double m_lower = 0.0;
};

} // namespace lumatrax
