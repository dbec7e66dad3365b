#pragma once

// Colours of the scope screen and its lamps, as (red, green, blue), in the layout of Qt's QRgb
// (0xAARRGGBB, opaque). Plain numbers, so code without widgets can use them.

#include <cstdint>

namespace lumatrax {

[[nodiscard]] constexpr std::uint32_t rgb(int red, int green, int blue)
{
    return 0xFF000000u | std::uint32_t(red & 0xFF) << 16 | std::uint32_t(green & 0xFF) << 8 |
           std::uint32_t(blue & 0xFF);
}

inline constexpr std::uint32_t kBlack = rgb(0, 0, 0);
inline constexpr std::uint32_t kGrey = rgb(128, 128, 128);
inline constexpr std::uint32_t kRed = rgb(255, 0, 0);
inline constexpr std::uint32_t kGreen = rgb(0, 255, 0);

inline constexpr std::uint32_t kTraceColour = rgb(0, 255, 255);       // cyan
inline constexpr std::uint32_t kUpperGuideColour = rgb(255, 0, 0);    // red
inline constexpr std::uint32_t kLowerGuideColour = rgb(0, 0, 255);    // blue
inline constexpr std::uint32_t kGridColour = rgb(0, 192, 0);          // green
inline constexpr std::uint32_t kTriggerMarkerColour = rgb(192, 0, 0); // dark red

} // namespace lumatrax
