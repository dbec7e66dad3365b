#pragma once

// Watches the main window's ACCEPT and REJECT lamps at every communications event and checks
// that they show the verdict of the last complete frame: after a read of at least 200 bytes the
// verdict of its first 200, judged here from the bytes and the guides alone; after a shorter read
// whatever they showed before.

#include "app/mainwindow.h"
#include "display/colours.h"
#include "display/lamp.h"
#include "display/scopesurface.h"
#include "link/commport.h"
#include "link/protocol.h"

#include <QColor>
#include <QObject>
#include <QString>

#include <cmath>
#include <cstdint>

namespace lumatrax::test {

// Whether a frame is rejected: some sample's screen height, round((255 - b) x H / 256) with ties
// to even, lies above the upper guide or below the lower one.
[[nodiscard]] inline bool rejects(const MainWindow& window, QByteArrayView frame)
{
    const double height = window.ui().pic->heightTwips();
    const MainWindowState& s = window.state();
    for (int k = 0; k < SAMPLES_PER_FRAME; ++k) {
        const auto y =
            std::int16_t(std::nearbyint((255.0 - std::uint8_t(frame[k])) * height / 256));
        if (y < s.upperGuide[k].Y1 || y > s.lowerGuide[k].Y1)
            return true;
    }
    return false;
}

class LampWatch : public QObject
{
public:
    // Connected after the window's own handler, so it looks once the handler has run.
    explicit LampWatch(MainWindow& window)
        : m_window(window), m_accept(window.ui().shpMiddle->colour()),
          m_reject(window.ui().shpHigher->colour())
    {
        connect(&window.cm(), &CommPort::comm, this, &LampWatch::check);
    }

    [[nodiscard]] int frames() const { return m_frames; }
    [[nodiscard]] int shortReads() const { return m_shortReads; }
    [[nodiscard]] int accepted() const { return m_accepted; }
    [[nodiscard]] int rejected() const { return m_frames - m_accepted; }
    // The first event at which the lamps were wrong, or empty.
    [[nodiscard]] const QString& firstMismatch() const { return m_mismatch; }

private:
    void check()
    {
        if (m_window.cm().commEvent() != CommPort::comEvReceive)
            return;
        const QByteArray& read = m_window.state().rxBuffer;
        const QColor accept = m_window.ui().shpMiddle->colour();
        const QColor reject = m_window.ui().shpHigher->colour();
        QColor wantAccept = m_accept, wantReject = m_reject;
        if (read.size() >= SAMPLES_PER_FRAME) {
            ++m_frames;
            const bool rejected = rejects(m_window, read);
            m_accepted += rejected ? 0 : 1;
            wantAccept = QColor::fromRgb(rejected ? kBlack : kGreen);
            wantReject = QColor::fromRgb(rejected ? kRed : kBlack);
        } else {
            ++m_shortReads;
        }
        if ((accept != wantAccept || reject != wantReject) && m_mismatch.isEmpty())
            m_mismatch = QStringLiteral("event %1, a read of %2 bytes: ACCEPT %3, REJECT %4")
                             .arg(m_frames + m_shortReads)
                             .arg(read.size())
                             .arg(accept.name(), reject.name());
        m_accept = accept;
        m_reject = reject;
    }

    MainWindow& m_window;
    int m_frames = 0;
    int m_shortReads = 0;
    int m_accepted = 0;
    QColor m_accept, m_reject;
    QString m_mismatch;
};

} // namespace lumatrax::test
