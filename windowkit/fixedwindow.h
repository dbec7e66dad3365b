#pragma once

// The window kit of the fixed layouts, shared by the main window, the port dialog and the report
// form: a window's fixed client area in twips with its fixed-size title bar, its first place
// (centred on the screen or on its owner), and, through twipslayout.h, the placing of its widgets
// in twips. A placement is mended here once for every window.

#include "windowkit/twipslayout.h"

#include <Qt>

class QWidget;

namespace lumatrax {

// The title bar of a fixed-size window: the system menu and the close box, no minimise and no
// maximise button, and a border the user cannot drag.
inline constexpr Qt::WindowFlags kFixedWindowHints =
    Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
    Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint;

// Makes window a fixed-size window whose client area is width x height twips, with the title bar
// above. Its type stays as it is: Qt::Window for a main window, Qt::Dialog for a form. Call it
// before the window is first shown, best first thing in its constructor.
void makeFixedWindow(QWidget* window, int widthTwips, int heightTwips);

enum class Centring {
    OnScreen, // the available area of the owner's screen, or the window's own without an owner
    OnOwner,  // the owner's frame, or the screen as above without an owner
};

// Moves a top-level window so that its frame is centred as asked. The owner is the window's
// parent. Call it once the window has its size and before it is shown; Qt leaves a window that
// has been moved where it is when showing it.
void centreWindow(QWidget* window, Centring where);

} // namespace lumatrax
