#include "tools/review/pictureview.h"

#include "tools/capture/batchplot.h"

#include <QPainter>

namespace lumatrax {

PictureView::PictureView(QWidget* parent) : QWidget(parent)
{
    setObjectName(QStringLiteral("batchPicture"));
    setFixedSize(BatchPlot::screenWidth() / BatchPlot::kScale,
                 BatchPlot::screenHeight() / BatchPlot::kScale);
}

void PictureView::setImage(const QImage& image)
{
    m_image = image;
    m_image.setDevicePixelRatio(BatchPlot::kScale);
    update();
}

void PictureView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    if (!m_image.isNull())
        painter.drawImage(QPoint(0, 0), m_image);
}

} // namespace lumatrax
