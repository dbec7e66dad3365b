#pragma once

#include <QRgb>

namespace lumatrax {

// Colours of the scope screen and its lamps, as (red, green, blue).
inline constexpr QRgb kBlack = qRgb(0, 0, 0);
inline constexpr QRgb kGrey = qRgb(128, 128, 128);
inline constexpr QRgb kRed = qRgb(255, 0, 0);
inline constexpr QRgb kGreen = qRgb(0, 255, 0);

inline constexpr QRgb kTraceColour = qRgb(0, 255, 255);       // cyan
inline constexpr QRgb kUpperGuideColour = qRgb(255, 0, 0);    // red
inline constexpr QRgb kLowerGuideColour = qRgb(0, 0, 255);    // blue
inline constexpr QRgb kGridColour = qRgb(0, 192, 0);          // green
inline constexpr QRgb kTriggerMarkerColour = qRgb(192, 0, 0); // dark red

} // namespace lumatrax
