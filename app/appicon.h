#pragma once

#include <QIcon>

namespace lumatrax {

// The program's icon, drawn in code at 16 x 16 and 32 x 32 in a handful of flat colours: a small
// scope screen with a grid, a guide line and a trace.
[[nodiscard]] QIcon appIcon();

// One size of the icon, for exporting it as a file.
[[nodiscard]] QImage appIconImage(int side);

} // namespace lumatrax
