#pragma once

namespace lumatrax {

// The font of every caption on the program's windows: an 8.25-point sans-serif, narrow enough
// for the fixed twip layouts. Given as a style sheet rule: widgets under a style sheet take their
// font from it. DejaVu Sans at this size fits every caption in its designed box.
inline constexpr const char* kDialogFontStyle =
    "QWidget { font-family: \"DejaVu Sans\", sans-serif; font-size: 8.25pt; }";

} // namespace lumatrax
