#pragma once

#include <QColor>
#include <QHash>
#include <QPixmap>
#include <QWidget>

namespace lumatrax {

class RepaintPace;
class RepaintThrottle;

// A status lamp: a filled shape of one colour with a thin black outline. The colour may be set on
// every frame; the lamp repaints only when the colour actually changes, and at most at its
// repaint pace's rate.
class Lamp : public QWidget
{
    Q_OBJECT
public:
    enum class Shape {
        RoundedRectangle, // fills its box
        RoundedSquare,    // side = the smaller side of its box, centred in it
    };

    Lamp(const QString& name, Shape shape, QColor colour, QWidget* parent);

    [[nodiscard]] QColor colour() const { return m_colour; }
    void setColour(QColor colour);
    // The pace the lamp repaints at, shared with the other widgets of its window; a lamp given
    // none keeps one of its own.
    void setRepaintPace(RepaintPace* pace);

    [[nodiscard]] Shape shape() const { return m_shape; }
    // The shape's outline box in the lamp's own pixels.
    [[nodiscard]] QRect shapeRect() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    Shape m_shape;
    QColor m_colour;
    RepaintThrottle* m_throttle;
    // The lamp drawn in each colour shown so far, for one size, ratio and background.
    QHash<QRgb, QPixmap> m_pictures;
    QSize m_pictureSize;
    qreal m_pictureRatio = 0;
    QColor m_pictureBackground;
};

} // namespace lumatrax
