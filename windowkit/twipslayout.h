#pragma once

// Placing widgets of the fixed layouts, given in twips, at Qt's device-independent pixels.

#include "common/twips.h"

#include <QLatin1String>
#include <QRect>

namespace lumatrax {

[[nodiscard]] inline QRect twipsRect(int left, int top, int width, int height)
{
    return QRect(twipsToPixels(left), twipsToPixels(top), twipsToPixels(width),
                 twipsToPixels(height));
}

// Names the widget and puts it at its place in its container.
template <typename W>
W* place(W* widget, const char* name, int left, int top, int width, int height)
{
    widget->setObjectName(QLatin1String(name));
    widget->setGeometry(twipsRect(left, top, width, height));
    return widget;
}

} // namespace lumatrax
