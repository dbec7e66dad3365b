#pragma once

// lumatrax-review's window: a capture of the line read once, its counts at the guides on the
// sliders (recounted from the frames' extremes, never by going over the frames again), the batch
// picture, the drift strip, single frames as the operator's window draws them, guides taught
// from a stretch of good pieces, and the counts for the report form.
//
// The capture is read on threads of its own (captureloader.h, batchlayers.h); the window takes
// what they publish at the screen's pace while they work, and is idle otherwise. A capture the
// tap is still writing is followed as it grows, its title saying "live" until the tap lets go of
// it, then "ended".

#include "tools/capture/capturejudge.h"
#include "tools/review/reviewwindowui.h"

#include <QMainWindow>

#include <functional>
#include <memory>
#include <optional>

class QSettings;
class QTimer;

namespace lumatrax {

class ReviewWindow : public QMainWindow
{
    Q_OBJECT
public:
    using MessageBox =
        std::function<void(QWidget* parent, const QString& title, const QString& text)>;

    // The guides last used for each capture are kept in `settings`, which must outlive the window.
    explicit ReviewWindow(QSettings* settings, QWidget* parent = nullptr);
    ~ReviewWindow() override;

    // Where messages go; by default a message box.
    void setMessageBox(MessageBox box);

    // Opens a capture: at `guides` when given, else at the guides last used for it, else at the
    // window's start-up guides. A file that is no capture is told of and changes nothing.
    void openCapture(const QString& path, std::optional<GuidePositions> guides = std::nullopt);

    [[nodiscard]] GuidePositions guides() const;
    void setGuides(GuidePositions guides);
    // The counts at the guides of the frames read so far.
    [[nodiscard]] JudgeSummary counts() const;
    // The whole capture has been gone through, and no more will come.
    [[nodiscard]] bool isLoaded() const;
    // A capture the tap still writes, gone through as far as it is written: more will come.
    [[nodiscard]] bool isFollowing() const;
    // Every trace is drawn and the rejects at the guides on the sliders; of a capture followed,
    // every trace so far, and the rejects as they joined the picture (sampled, when there are
    // more than it draws).
    [[nodiscard]] bool isPictureComplete() const;
    // The Sorting Result lines as lumatrax-judge --report prints them.
    [[nodiscard]] QByteArray sortingResultText() const;

signals:
    void captureLoaded();
    void pictureChanged();

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private:
    struct Session;

    void chooseCapture();
    void closeCapture();
    void cancelWork();
    void pulse();
    void guidesMoved();
    void showCounts();
    void showDrift();
    void showPicture();
    void showCaptureInfo();
    void showTitle();
    void selectStretch(std::int64_t startUs, std::int64_t endUs);
    void updateActions();
    void showFrame(qint64 frame);
    void step(int direction, bool rejectsOnly);
    void showBin(std::int64_t startUs, std::int64_t endUs);
    void teach();
    void copySortingResult();
    void savePicture();
    void exportFrames();
    void tell(const QString& title, const QString& text);

    QSettings* m_settings;
    MessageBox m_messageBox;
    std::unique_ptr<Session> m_session;
    GuidePositions m_guides;
    bool m_settingGuides = false; // both sliders being set: one recount for the two
    bool m_opening = false;       // the guides being set for a capture just opened
    bool m_startUpGuides = false; // the capture is shown at the start-up guides, not chosen ones
    QTimer* m_pulse;
    ReviewWindowUi m_ui;
};

} // namespace lumatrax
