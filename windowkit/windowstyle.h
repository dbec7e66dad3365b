#pragma once

// Style sheet rules shared by the program's windows.

namespace lumatrax {

// The font of every caption: an 8.25-point sans-serif, narrow enough for the fixed twip layouts.
// Widgets under a style sheet take their font from it. DejaVu Sans at this size fits every
// caption of the main window in its designed box.
inline constexpr const char* kDialogFontStyle =
    "QWidget { font-family: \"DejaVu Sans\", sans-serif; font-size: 8.25pt; }";

// A group box's caption sits on its top border, and the border runs at half the caption's
// height, so the children's twip positions measured from the box's top edge land as designed.
inline constexpr const char* kGroupBoxStyle =
    "QGroupBox { border: 1px solid palette(mid); border-radius: 2px; margin-top: 6px; }"
    "QGroupBox::title { subcontrol-origin: margin; subcontrol-position: top left;"
    " left: 6px; top: -1px; padding: 0px 2px; }";

} // namespace lumatrax
