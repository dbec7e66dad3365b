#pragma once

// The drift strip under the batch picture: time runs left to right over the capture's bins, the
// screen's height top to bottom as on the scope. Per bin, the band from its frames' highest
// sample to their lowest, and brighter within it how near the frames came to each guide (from
// the median of their highest samples to the 5th percentile nearest the upper guide, and the
// same for their lowest samples and the lower guide), in amber where it went past a guide (at
// least a few pixels, so a reject by a hair shows); the two guides across, red and blue as on
// the scope, two pixels each and edged in black, over everything but the frame shown; an amber
// mark above a bin that rejected at the upper guide and below one that rejected at the lower,
// taller with the share rejected; the frame shown as a white line; a stretch selected as a
// shaded area.
//
// A click on a bin asks for that bin; a drag selects the bins it crosses.

#include "tools/capture/drift.h"

#include <QWidget>

#include <cstdint>
#include <optional>

namespace lumatrax {

class DriftStrip : public QWidget
{
    Q_OBJECT
public:
    explicit DriftStrip(QWidget* parent = nullptr);

    void setReport(const DriftReport& report);
    // The time of the frame shown, since the capture began; nothing for none.
    void setCurrent(std::optional<std::int64_t> atUs);
    void clearSelection();

    [[nodiscard]] QSize sizeHint() const override;

signals:
    void binClicked(std::int64_t startUs, std::int64_t endUs);
    // A stretch of whole bins, from the start of the first to the end of the last.
    void stretchSelected(std::int64_t startUs, std::int64_t endUs);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // The plot area, inside a margin for the reject marks.
    [[nodiscard]] QRectF plotArea() const;
    [[nodiscard]] double xOf(std::int64_t us) const;
    [[nodiscard]] double yOf(double twips) const;
    // The bin under a horizontal position, or nothing outside the bins.
    [[nodiscard]] std::optional<std::size_t> binAt(double x) const;

    DriftReport m_report;
    std::optional<std::int64_t> m_current;
    std::optional<double> m_pressedAt;
    std::optional<std::pair<std::size_t, std::size_t>> m_selection; // bins, first and last
};

} // namespace lumatrax
