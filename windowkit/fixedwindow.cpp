#include "windowkit/fixedwindow.h"

#include <QGuiApplication>
#include <QScreen>
#include <QWidget>

namespace lumatrax {

void makeFixedWindow(QWidget* window, int widthTwips, int heightTwips)
{
    window->setWindowFlags(window->windowType() | kFixedWindowHints);
    window->setFixedSize(twipsToPixels(widthTwips), twipsToPixels(heightTwips));
}

void centreWindow(QWidget* window, Centring where)
{
    if (!window->isWindow())
        return;
    const QWidget* owner = window->parentWidget() ? window->parentWidget()->window() : nullptr;
    QRect area;
    if (where == Centring::OnOwner && owner) {
        area = owner->frameGeometry();
    } else {
        const QScreen* screen = owner ? owner->screen() : window->screen();
        if (!screen)
            screen = QGuiApplication::primaryScreen();
        if (!screen)
            return;
        area = screen->availableGeometry();
    }
    // With its native window made, the frame counts wherever the platform tells its size early.
    window->winId();
    QRect placed = window->frameGeometry();
    placed.moveCenter(area.center());
    window->move(placed.topLeft());
}

} // namespace lumatrax
