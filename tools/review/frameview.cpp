#include "tools/review/frameview.h"

#include "common/twips.h"
#include "display/colours.h"
#include "display/lineobject.h"
#include "display/scopesurface.h"

#include <QVBoxLayout>

namespace lumatrax {

FrameView::FrameView(QWidget* parent)
    : QWidget(parent), m_screen(kScreenWidthTwips, kScreenHeightTwips),
      m_surface(new ScopeSurface(this))
{
    setObjectName(QStringLiteral("frameView"));
    m_surface->setFixedSize(twipsToPixels(int(kScreenWidthTwips)),
                            twipsToPixels(int(kScreenHeightTwips)));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_surface);
    // The grid as the operator's window lays it: the centre lines two pixels wide.
    for (int i = 0; i < kGridLines; ++i) {
        const int width = i == 4 ? 2 : 1;
        auto* across = new LineObject(QStringLiteral("x_axis"), QColor::fromRgb(kGridColour), width,
                                      m_surface);
        across->setEnds(m_screen.horizontalGridLine(i));
        m_surface->addLineObject(across);
        auto* down = new LineObject(QStringLiteral("y_axis"), QColor::fromRgb(kGridColour), width,
                                    m_surface);
        down->setEnds(m_screen.verticalGridLine(i));
        m_surface->addLineObject(down);
    }
    m_surface->setScreen(&m_screen);
    m_surface->setFocusPolicy(Qt::NoFocus);
}

void FrameView::setGuides(GuidePositions guides)
{
    m_screen.setUpperGuide(guides.upper);
    m_screen.setLowerGuide(guides.lower);
}

Verdict FrameView::showFrame(const SampleArray& samples, GuidePositions guides)
{
    setGuides(guides);
    const Verdict verdict = m_screen.showFrame(samples);
    m_surface->screenChanged();
    return verdict;
}

void FrameView::showGuides(GuidePositions guides)
{
    setGuides(guides);
    m_surface->screenChanged();
}

} // namespace lumatrax
