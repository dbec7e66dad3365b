#pragma once

// The report form frmReport: the operator types the particulars of a sorting job and saves them
// as a report file. The form only gathers its fields; report/reportfile.h builds and writes the
// file. It is created afresh for every opening, so nothing carries over from one to the next.
// Its text boxes hold one line of any length: a line break entering one becomes a blank, so the
// file keeps its 24 lines. When the fields hold characters the report's character set cannot
// hold, Save asks, once the file is chosen, whether to write them as "?" or write nothing.
// This folder never includes link/ or app/.

#include "report/reportfile.h"

#include <QDialog>

#include <functional>

class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace lumatrax {

class ReportForm : public QDialog
{
    Q_OBJECT
public:
    // Asks for the file to save to, starting from the name chosen at the previous save of this
    // opening (empty at first). Returns the chosen name, or an empty string when cancelled.
    using FileNameChooser = std::function<QString(QWidget* parent, const QString& previous)>;
    // Tells the operator that a save failed.
    using ErrorReporter =
        std::function<void(QWidget* parent, const QString& title, const QString& text)>;

    explicit ReportForm(QWidget* owner = nullptr);

    // Creates the form afresh with owner, centres it on the screen and runs it modally; returns
    // when the operator closes it, which also destroys it. The owner's timers and serial events
    // go on meanwhile.
    static void openModal(QWidget* owner);

    // The fields as they stand: the texts unchanged, and whether "CH. COMP." is selected.
    [[nodiscard]] ReportFields fields() const;

    // The save-file dialog by default (it asks before replacing an existing file).
    void setFileNameChooser(FileNameChooser chooser) { m_chooseFileName = std::move(chooser); }
    // A critical message box by default.
    void setErrorReporter(ErrorReporter reporter) { m_reportError = std::move(reporter); }

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void setupUi();
    void fitCaptions();
    void formLoad();
    void cmdCancel_Click();
    void cmdSave_Click();

    // Whether list entry 0 is selected. Typing into the combo's text part deselects the list:
    // an entry counts as selected only while the text part shows exactly that entry.
    [[nodiscard]] bool chCompSelected() const;

    QGroupBox* Frame1 = nullptr;
    QLineEdit* txtCoName = nullptr;
    QLineEdit* txtAdd = nullptr;
    QLineEdit* txtReport = nullptr;
    QLineEdit* txtDate = nullptr;
    QLineEdit* txtCust = nullptr;
    QLineEdit* txtNome = nullptr;
    QLineEdit* txtBatch = nullptr;
    QLineEdit* txtMat = nullptr;
    QComboBox* cmbSort = nullptr;
    QLineEdit* txtNumTested = nullptr;
    QLineEdit* txtNumAccepted = nullptr;
    QLineEdit* txtNumUpper = nullptr;
    QLineEdit* txtNumLower = nullptr;
    QLineEdit* txtTestedBy = nullptr;
    QPushButton* cmdCancel = nullptr; // "Clear"; Escape presses it
    QPushButton* cmdSave = nullptr;
    QPushButton* cmdClose = nullptr;

    // The name chosen at the previous save of this opening; the save dialog starts from it.
    QString m_lastFileName;
    FileNameChooser m_chooseFileName;
    ErrorReporter m_reportError;
};

} // namespace lumatrax
