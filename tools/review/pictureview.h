#pragma once

// The batch picture at the window's size: the batch picture's device pixels at its scale.

#include <QImage>
#include <QWidget>

namespace lumatrax {

class PictureView : public QWidget
{
public:
    explicit PictureView(QWidget* parent = nullptr);

    // A null image shows the black screen alone.
    void setImage(const QImage& image);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    QImage m_image;
};

} // namespace lumatrax
