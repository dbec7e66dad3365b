#pragma once

// lumatrax-review's window: a capture of the line read once, its counts at the guides on the
// sliders (recounted from the frames' extremes, never by going over the frames again), the batch
// picture, the drift strip, single frames as the operator's window draws them, guides taught
// from a stretch of good pieces, and the counts for the report form.
//
// The capture is read on threads of its own (captureloader.h, batchlayers.h); the window takes
// what they publish at the screen's pace while they work, and is idle otherwise.

#include "tools/capture/capturejudge.h"

#include <QMainWindow>

#include <functional>
#include <memory>
#include <optional>

class QAction;
class QDoubleSpinBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QSettings;
class QSlider;
class QSpinBox;
class QTimer;

namespace lumatrax {

class DriftStrip;
class FrameView;
class PictureView;

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
    // The whole capture has been gone through.
    [[nodiscard]] bool isLoaded() const;
    // Every trace is drawn and the rejects at the guides on the sliders.
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

    void buildMenus();
    QWidget* buildGuides();
    QWidget* buildCounts();
    QWidget* buildTeach();

    void chooseCapture();
    void closeCapture();
    void cancelWork();
    void pulse();
    void guidesMoved();
    void showCounts();
    void showDrift();
    void showPicture();
    void showCaptureInfo();
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

    QAction* m_savePicture = nullptr;
    QAction* m_exportFrames = nullptr;
    QAction* m_copyResult = nullptr;
    QAction* m_teach = nullptr;
    QSlider* m_high = nullptr;
    QSlider* m_low = nullptr;
    QSpinBox* m_highValue = nullptr;
    QSpinBox* m_lowValue = nullptr;
    QLabel* m_guidesNote = nullptr;
    QLabel* m_readWarning = nullptr;
    QLabel* m_captureInfo = nullptr;
    PictureView* m_picture = nullptr;
    QLabel* m_pictureNote = nullptr;
    FrameView* m_frameView = nullptr;
    QLabel* m_frameNote = nullptr;
    QLabel* m_driftNote = nullptr;
    DriftStrip* m_strip = nullptr;
    QLineEdit* m_tested = nullptr;
    QLineEdit* m_accepted = nullptr;
    QLineEdit* m_upper = nullptr;
    QLineEdit* m_lower = nullptr;
    QLabel* m_breakdown = nullptr;
    QDoubleSpinBox* m_keep = nullptr;
    QSpinBox* m_margin = nullptr;
    QLabel* m_teachNote = nullptr;
    QProgressBar* m_progress = nullptr;
    QPushButton* m_cancel = nullptr;
};

} // namespace lumatrax
