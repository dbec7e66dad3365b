#pragma once

// Twips, the unit every layout and the scope screen are given in.

namespace lumatrax {

// One twip is 1/1440 inch; at 96 dots per inch a pixel is 15 twips. The windows are laid out in
// twips and mapped to Qt's device-independent pixels at this ratio, so high-DPI screens scale them.
inline constexpr int kTwipsPerPixel = 15;

[[nodiscard]] constexpr int twipsToPixels(int twips)
{
    return twips / kTwipsPerPixel;
}

} // namespace lumatrax
