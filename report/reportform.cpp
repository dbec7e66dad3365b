#include "report/reportform.h"

#include "report/singlelinevalidator.h"
#include "windowkit/fixedwindow.h"
#include "windowkit/windowstyle.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>

#include <algorithm>
#include <limits>

namespace lumatrax {

namespace {

// The client area, in twips.
constexpr int kClientWidthTwips = 9345;
constexpr int kClientHeightTwips = 6540;

// Heights inside the frame, in twips.
constexpr int kLabelHeight = 255;
constexpr int kTextBoxHeight = 285;
constexpr int kComboHeight = 315;

// The narrowest the captions are ever set, as a font stretch in percent of normal width.
constexpr int kMinimumCaptionStretch = 75;

constexpr const char* kFormStyle =
    "QLabel#lblResult { font-weight: bold; text-decoration: underline; }";

QLabel* label(QWidget* parent, const char* name, const char* caption, int left, int top, int width,
              Qt::Alignment alignment = Qt::AlignLeft)
{
    auto* l = new QLabel(QString::fromUtf8(caption), parent);
    l->setAlignment(alignment | Qt::AlignVCenter);
    return place(l, name, left, top, width, kLabelHeight);
}

QLabel* centredLabel(QWidget* parent, const char* name, const char* caption, int left, int top,
                     int width)
{
    return label(parent, name, caption, left, top, width, Qt::AlignHCenter);
}

// A single-line text box that takes text of any length; a line break entering it becomes a blank.
QLineEdit* textBox(QWidget* parent, const char* name, int left, int top, int width)
{
    auto* t = new QLineEdit(parent);
    t->setMaxLength(std::numeric_limits<int>::max()); // not QLineEdit's 32767 characters
    t->setValidator(new SingleLineValidator(t));
    return place(t, name, left, top, width, kTextBoxHeight);
}

QPushButton* button(QWidget* parent, const char* name, const char* caption, int left, int top,
                    int width, int height)
{
    auto* b = new QPushButton(QString::fromUtf8(caption), parent);
    b->setAutoDefault(false); // the form has no default button: Enter presses nothing
    return place(b, name, left, top, width, height);
}

QString chooseWithSaveDialog(QWidget* parent, const QString& previous)
{
    // No title, filter or extension: the platform's defaults, and any name is accepted.
    return QFileDialog::getSaveFileName(parent, QString(), previous);
}

void showCriticalBox(QWidget* parent, const QString& title, const QString& text)
{
    QMessageBox::critical(parent, title, text);
}

// True when the operator chooses Save; Cancel (also Escape, and the default) is false.
bool askToSaveAnyway(QWidget* parent, const QString& title, const QString& text)
{
    return QMessageBox::question(parent, title, text, QMessageBox::Save | QMessageBox::Cancel,
                                 QMessageBox::Cancel) == QMessageBox::Save;
}

} // namespace

ReportForm::ReportForm(QWidget* owner)
    : QDialog(owner), m_chooseFileName(chooseWithSaveDialog), m_reportError(showCriticalBox)
{
    makeFixedWindow(this, kClientWidthTwips, kClientHeightTwips);
    setObjectName(QStringLiteral("frmReport"));
    setWindowTitle(QStringLiteral("Report"));
    setStyleSheet(QLatin1String(kDialogFontStyle) + QLatin1String(kGroupBoxStyle) +
                  QLatin1String(kFormStyle));
    setupUi();
    fitCaptions();

    connect(cmdCancel, &QPushButton::clicked, this, &ReportForm::cmdCancel_Click);
    connect(cmdSave, &QPushButton::clicked, this, &ReportForm::cmdSave_Click);
    connect(cmdClose, &QPushButton::clicked, this, &QWidget::close);

    formLoad();
}

void ReportForm::setupUi()
{
    Frame1 =
        place(new QGroupBox(QStringLiteral("TEST REPORT"), this), "Frame1", 240, 120, 8775, 5775);
    cmdCancel = button(this, "cmdCancel", "Clear", 240, 6000, 1935, 375);
    cmdSave = button(this, "cmdSave", "Save", 3480, 6000, 2295, 375);
    cmdClose = button(this, "cmdClose", "Close", 6840, 6000, 2055, 375);

    // Inside the frame, positions measured from the frame's top-left corner.
    QWidget* f = Frame1;
    label(f, "lblCoName", "Company Name:", 120, 360, 1335);
    txtCoName = textBox(f, "txtCoName", 1560, 360, 6615);
    label(f, "lblAdd", "Address:", 120, 720, 735);
    txtAdd = textBox(f, "txtAdd", 1560, 720, 6615);

    label(f, "lblReport", "Report No.:", 120, 1200, 1215);
    txtReport = textBox(f, "txtReport", 1560, 1200, 2535);
    label(f, "lblDate", "Date:", 120, 1560, 615);
    txtDate = textBox(f, "txtDate", 1560, 1560, 2535);
    label(f, "lblCust", "Customer:", 120, 1920, 735);
    txtCust = textBox(f, "txtCust", 1560, 1920, 2535);

    label(f, "lblNome", "Nomenclature:", 4560, 1200, 1095);
    txtNome = textBox(f, "txtNome", 5640, 1200, 2535);
    label(f, "lblBatch", "Batch No.:", 4560, 1560, 1095);
    txtBatch = textBox(f, "txtBatch", 5640, 1560, 2535);
    label(f, "lblMat", "Material:", 4560, 1920, 855);
    txtMat = textBox(f, "txtMat", 5640, 1920, 2535);
    label(f, "lblSort", "Sorting On:", 4560, 2280, 975);
    cmbSort = place(new QComboBox(f), "cmbSort", 5640, 2280, 2535, kComboHeight);
    cmbSort->setEditable(true); // a drop-down combo: its text part takes typing too
    cmbSort->setInsertPolicy(QComboBox::NoInsert);

    label(f, "lblResult", "Sorting Result:", 720, 2880, 1695); // bold, underlined
    centredLabel(f, "lblNumTested", "No. of Pcs. Tested", 120, 3240, 2655);
    txtNumTested = textBox(f, "txtNumTested", 240, 3600, 2415);
    centredLabel(f, "lblNumAccepted", "No. of Pcs. Accepted", 3000, 3240, 2415);
    txtNumAccepted = textBox(f, "txtNumAccepted", 3000, 3600, 2415);
    centredLabel(f, "lblNumRejected", "No. of Pcs. Rejected", 5760, 3120, 2415);
    centredLabel(f, "lblNumUpper", "Upper Rejected:", 5760, 3360, 1215);
    txtNumUpper = textBox(f, "txtNumUpper", 6000, 3600, 855);
    centredLabel(f, "lblNumLower", "Lower Rejected:", 7320, 3360, 1215);
    txtNumLower = textBox(f, "txtNumLower", 7440, 3600, 855);

    label(f, "lblTestedBy", "Tested by:", 5760, 4560, 1935);
    txtTestedBy = textBox(f, "txtTestedBy", 5760, 4920, 2055);

    // Keyboard focus order: the fields top to bottom, then Clear, Close, Save.
    const std::initializer_list<QWidget*> focusOrder = {
        txtCoName,   txtAdd,      txtReport, txtDate,      txtCust,        txtNome,
        txtBatch,    txtMat,      cmbSort,   txtNumTested, txtNumAccepted, txtNumUpper,
        txtNumLower, txtTestedBy, cmdCancel, cmdClose,     cmdSave};
    QWidget* previous = nullptr;
    for (QWidget* w : focusOrder) {
        if (previous)
            QWidget::setTabOrder(previous, w);
        previous = w;
    }
    txtCoName->setFocus();
}

void ReportForm::fitCaptions()
{
    // The caption font runs wider than several captions' boxes allow ("Nomenclature:" would run
    // into its text box). Rather than clip a caption or move its box, all the captions in the
    // frame are narrowed alike: the widest font stretch at which every caption fits its box.
    const QList<QLabel*> labels = Frame1->findChildren<QLabel*>();
    for (QLabel* l : labels)
        l->ensurePolished();
    auto fitsAt = [&labels](int stretch) {
        return std::all_of(labels.begin(), labels.end(), [stretch](const QLabel* l) {
            QFont font = l->font();
            font.setStretch(stretch);
            return QFontMetricsF(font).horizontalAdvance(l->text()) <= l->width();
        });
    };
    int stretch = 100;
    while (stretch > kMinimumCaptionStretch && !fitsAt(stretch))
        --stretch;
    if (stretch == 100)
        return;
    for (QLabel* l : labels) {
        QFont font = l->font();
        font.setStretch(stretch);
        l->setFont(font);
    }
}

void ReportForm::openModal(QWidget* owner)
{
    auto* form = new ReportForm(owner);
    form->setAttribute(Qt::WA_DeleteOnClose); // exec() destroys it once it closes
    centreWindow(form, Centring::OnScreen);   // moved, it is not re-centred over its owner
    form->exec();
}

void ReportForm::formLoad()
{
    cmbSort->addItem(QStringLiteral("CH. COMP."));
    cmbSort->addItem(QStringLiteral("HARDNESS"));
    cmbSort->setCurrentIndex(0);
}

ReportFields ReportForm::fields() const
{
    ReportFields f;
    f.companyName = txtCoName->text();
    f.address = txtAdd->text();
    f.reportNo = txtReport->text();
    f.date = txtDate->text();
    f.customer = txtCust->text();
    f.nomenclature = txtNome->text();
    f.batchNo = txtBatch->text();
    f.material = txtMat->text();
    f.chCompSelected = chCompSelected();
    f.piecesTested = txtNumTested->text();
    f.piecesAccepted = txtNumAccepted->text();
    f.upperRejected = txtNumUpper->text();
    f.lowerRejected = txtNumLower->text();
    f.testedBy = txtTestedBy->text();
    return f;
}

bool ReportForm::chCompSelected() const
{
    return cmbSort->currentIndex() == 0 && cmbSort->currentText() == cmbSort->itemText(0);
}

void ReportForm::keyPressEvent(QKeyEvent* event)
{
    // Escape (every key a dialog takes as cancel) presses Clear wherever the focus is; it never
    // closes the form. The window's close box still does, through closeEvent.
    if (event->matches(QKeySequence::Cancel)) {
        cmdCancel->click();
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

void ReportForm::cmdCancel_Click()
{
    for (QLineEdit* t : {txtCoName, txtAdd, txtReport, txtDate, txtCust, txtNome, txtBatch, txtMat})
        t->clear();
    cmbSort->setCurrentIndex(0);
    cmbSort->setEditText(cmbSort->itemText(0)); // also when typing had replaced the entry's text
    for (QLineEdit* t : {txtNumTested, txtNumAccepted, txtNumUpper, txtNumLower, txtTestedBy})
        t->clear();
}

void ReportForm::cmdSave_Click()
{
    const QString fileName = m_chooseFileName(this, m_lastFileName);
    if (fileName.isEmpty())
        return; // cancelled: nothing is written, and the previous name stays on offer
    m_lastFileName = fileName;
    const ReportFields report = fields();
    const QList<char32_t> unwritable = unrepresentableCharacters(report);
    if (!unwritable.isEmpty() &&
        !askToSaveAnyway(this, windowTitle(), unrepresentableQuestion(unwritable)))
        return; // nothing is written
    if (const auto failure = writeReportFile(fileName, reportBytes(report)))
        m_reportError(this, windowTitle(), failure->message());
}

} // namespace lumatrax
