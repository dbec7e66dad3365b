// The report form: its layout, Clear and Escape, saving through a stand-in for the save dialog,
// and opening it from the main window.

#include "app/mainwindow.h"
#include "report/reportform.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QScreen>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <cstring>

using namespace lumatrax;

namespace {

const QStringList kTextBoxes = {"txtCoName",    "txtAdd",         "txtReport",   "txtDate",
                                "txtCust",      "txtNome",        "txtBatch",    "txtMat",
                                "txtNumTested", "txtNumAccepted", "txtNumUpper", "txtNumLower",
                                "txtTestedBy"};

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QLineEdit* textBox(QWidget* form, const QString& name)
{
    return form->findChild<QLineEdit*>(name);
}

QComboBox* sortCombo(QWidget* form)
{
    return form->findChild<QComboBox*>(QStringLiteral("cmbSort"));
}

// Types a distinct value into every text box and selects HARDNESS.
void fillIn(QWidget* form)
{
    for (const QString& name : kTextBoxes)
        QTest::keyClicks(textBox(form, name), QStringLiteral(" ") + name + QStringLiteral(" "));
    sortCombo(form)->setCurrentIndex(1);
}

// The ways text enters a text box.
enum class Entry { Typed, Pasted, Dropped, SetByProgram };

void enter(QLineEdit* box, Entry entry, const QString& text)
{
    switch (entry) {
    case Entry::Typed:
        for (QChar c : text)
            QTest::sendKeyEvent(QTest::Click, box, Qt::Key_unknown, QString(c), Qt::NoModifier);
        break;
    case Entry::Pasted:
        QGuiApplication::clipboard()->setText(text);
        QTest::keyClick(box, Qt::Key_V, Qt::ControlModifier);
        break;
    case Entry::Dropped: {
        QMimeData mime;
        mime.setText(text);
        // The drop goes where the drag entered and was taken.
        QDragEnterEvent drag(box->rect().center(), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QCoreApplication::sendEvent(box, &drag);
        QDropEvent drop(box->rect().center(), Qt::CopyAction, &mime, Qt::LeftButton, {});
        QCoreApplication::sendEvent(box, &drop);
        break;
    }
    case Entry::SetByProgram:
        box->setText(text);
        break;
    }
}

bool isEmptyWithChComp(QWidget* form)
{
    for (const QString& name : kTextBoxes)
        if (!textBox(form, name)->text().isEmpty())
            return false;
    return sortCombo(form)->currentIndex() == 0 && sortCombo(form)->currentText() == "CH. COMP.";
}

} // namespace

Q_DECLARE_METATYPE(Entry)

class TestReportForm : public QObject
{
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void everyControlSitsAtItsPlace_data();
    void everyControlSitsAtItsPlace();
    void formIsFixedWithNoDefaultButton();
    void captionsFitTheirBoxesInTheirStyle();
    void opensEmptyWithChCompSelected();
    void focusMovesInTabOrder();
    void escapeClearsAndDoesNotClose_data();
    void escapeClearsAndDoesNotClose();
    void closeDiscardsWithoutPrompt();
    void sortingBasisFollowsTheSelectedEntry_data();
    void sortingBasisFollowsTheSelectedEntry();

    void lineBreaksBecomeBlanksAndTheFileKeepsItsLines_data();
    void lineBreaksBecomeBlanksAndTheFileKeepsItsLines();
    void textBeyondQtsDefaultLimitReachesTheFileWhole();

    void saveWritesTheFieldsAndLeavesTheFormAsItWas();
    void saveDialogOffersThePreviousName();
    void cancelledDialogWritesNothing();
    void unwritableTargetIsReportedAndTheFormKeepsItsContents();
    void saveAsksBeforeWritingWhatTheCharacterSetCannotHold_data();
    void saveAsksBeforeWritingWhatTheCharacterSetCannotHold();

    void reportButtonOpensAFreshModalFormEachTime();

private:
    // Runs action on the report form once it runs modally, then closes it whatever happened.
    void whenReportFormOpens(std::function<void(ReportForm*)> action);
    // Answers every question box that comes up with the button of that caption, noting its
    // text and its buttons' captions.
    void answerQuestionsWith(const QString& caption);

    ReportForm* m_form = nullptr;
    std::unique_ptr<QTemporaryDir> m_dir;
    QStringList m_offered; // the previous names handed to the file-name chooser
    QStringList m_errors;  // the texts of the error messages shown
    QPointer<QTimer> m_watch;
    QStringList m_questions;       // the texts of the question boxes answered
    QStringList m_questionButtons; // the captions of their buttons
};

void TestReportForm::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_form = new ReportForm;
    m_offered.clear();
    m_errors.clear();
    m_questions.clear();
    m_questionButtons.clear();
    m_form->setErrorReporter(
        [this](QWidget*, const QString&, const QString& text) { m_errors << text; });
}

void TestReportForm::cleanup()
{
    delete m_form;
    delete m_watch;
}

void TestReportForm::everyControlSitsAtItsPlace_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("className");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("twips"); // in the form for the frame and the buttons, else the frame
    QTest::addColumn<bool>("centred");
    auto row = [](const char* name, const char* cls, const char* caption, int l, int t, int w,
                  int h, bool centred = false) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(cls)
                            << QString::fromLatin1(caption) << QRect(l, t, w, h) << centred;
    };
    row("Frame1", "QGroupBox", "TEST REPORT", 240, 120, 8775, 5775);
    row("cmdCancel", "QPushButton", "Clear", 240, 6000, 1935, 375);
    row("cmdSave", "QPushButton", "Save", 3480, 6000, 2295, 375);
    row("cmdClose", "QPushButton", "Close", 6840, 6000, 2055, 375);
    row("lblCoName", "QLabel", "Company Name:", 120, 360, 1335, 255);
    row("txtCoName", "QLineEdit", "", 1560, 360, 6615, 285);
    row("lblAdd", "QLabel", "Address:", 120, 720, 735, 255);
    row("txtAdd", "QLineEdit", "", 1560, 720, 6615, 285);
    row("lblReport", "QLabel", "Report No.:", 120, 1200, 1215, 255);
    row("txtReport", "QLineEdit", "", 1560, 1200, 2535, 285);
    row("lblDate", "QLabel", "Date:", 120, 1560, 615, 255);
    row("txtDate", "QLineEdit", "", 1560, 1560, 2535, 285);
    row("lblCust", "QLabel", "Customer:", 120, 1920, 735, 255);
    row("txtCust", "QLineEdit", "", 1560, 1920, 2535, 285);
    row("lblNome", "QLabel", "Nomenclature:", 4560, 1200, 1095, 255);
    row("txtNome", "QLineEdit", "", 5640, 1200, 2535, 285);
    row("lblBatch", "QLabel", "Batch No.:", 4560, 1560, 1095, 255);
    row("txtBatch", "QLineEdit", "", 5640, 1560, 2535, 285);
    row("lblMat", "QLabel", "Material:", 4560, 1920, 855, 255);
    row("txtMat", "QLineEdit", "", 5640, 1920, 2535, 285);
    row("lblSort", "QLabel", "Sorting On:", 4560, 2280, 975, 255);
    row("cmbSort", "QComboBox", "", 5640, 2280, 2535, 315);
    row("lblResult", "QLabel", "Sorting Result:", 720, 2880, 1695, 255);
    row("lblNumTested", "QLabel", "No. of Pcs. Tested", 120, 3240, 2655, 255, true);
    row("txtNumTested", "QLineEdit", "", 240, 3600, 2415, 285);
    row("lblNumAccepted", "QLabel", "No. of Pcs. Accepted", 3000, 3240, 2415, 255, true);
    row("txtNumAccepted", "QLineEdit", "", 3000, 3600, 2415, 285);
    row("lblNumRejected", "QLabel", "No. of Pcs. Rejected", 5760, 3120, 2415, 255, true);
    row("lblNumUpper", "QLabel", "Upper Rejected:", 5760, 3360, 1215, 255, true);
    row("txtNumUpper", "QLineEdit", "", 6000, 3600, 855, 285);
    row("lblNumLower", "QLabel", "Lower Rejected:", 7320, 3360, 1215, 255, true);
    row("txtNumLower", "QLineEdit", "", 7440, 3600, 855, 285);
    row("lblTestedBy", "QLabel", "Tested by:", 5760, 4560, 1935, 255);
    row("txtTestedBy", "QLineEdit", "", 5760, 4920, 2055, 285);
}

void TestReportForm::everyControlSitsAtItsPlace()
{
    QFETCH(QString, name);
    QFETCH(QString, className);
    QFETCH(QString, caption);
    QFETCH(QRect, twips);
    QFETCH(bool, centred);
    auto* w = m_form->findChild<QWidget*>(name);
    QVERIFY2(w, qPrintable(name));
    QCOMPARE(QString::fromLatin1(w->metaObject()->className()), className);
    const bool onForm = name.startsWith("cmd") || name == "Frame1";
    QCOMPARE(w->parentWidget()->objectName(), onForm ? "frmReport" : "Frame1");
    QCOMPARE(w->geometry(),
             QRect(twips.x() / 15, twips.y() / 15, twips.width() / 15, twips.height() / 15));
    if (auto* b = qobject_cast<QPushButton*>(w))
        QCOMPARE(b->text(), caption);
    else if (auto* g = qobject_cast<QGroupBox*>(w))
        QCOMPARE(g->title(), caption);
    else if (auto* l = qobject_cast<QLabel*>(w)) {
        QCOMPARE(l->text(), caption);
        QCOMPARE(bool(l->alignment() & Qt::AlignHCenter), centred);
    }
}

void TestReportForm::formIsFixedWithNoDefaultButton()
{
    QCOMPARE(m_form->objectName(), QStringLiteral("frmReport"));
    QCOMPARE(m_form->windowTitle(), QStringLiteral("Report"));
    QCOMPARE(m_form->size(), QSize(623, 436));
    QCOMPARE(m_form->minimumSize(), m_form->maximumSize());
    const Qt::WindowFlags flags = m_form->windowFlags();
    QVERIFY(!(flags & (Qt::WindowMaximizeButtonHint | Qt::WindowMinimizeButtonHint)));
    QVERIFY(flags & Qt::WindowCloseButtonHint);

    m_form->show();
    QVERIFY(QTest::qWaitForWindowActive(m_form));
    std::vector<std::unique_ptr<QSignalSpy>> clicks;
    for (QPushButton* b : m_form->findChildren<QPushButton*>()) {
        QVERIFY(!b->autoDefault() && !b->isDefault());
        clicks.push_back(std::make_unique<QSignalSpy>(b, &QPushButton::clicked));
    }
    QCOMPARE(clicks.size(), std::size_t(3));
    QTest::keyClick(textBox(m_form, "txtCoName"), Qt::Key_Return);
    QTest::keyClick(textBox(m_form, "txtCoName"), Qt::Key_Enter);
    for (const auto& spy : clicks)
        QCOMPARE(spy->count(), 0);
    QVERIFY(m_form->isVisible());
}

void TestReportForm::captionsFitTheirBoxesInTheirStyle()
{
    m_form->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_form));
    for (QLabel* label : m_form->findChildren<QLabel*>()) {
        const bool result = label->objectName() == "lblResult";
        QCOMPARE(label->font().pointSizeF(), 8.25);
        QCOMPARE(label->font().bold(), result);
        QCOMPARE(label->font().underline(), result);
        QVERIFY2(label->fontMetrics().horizontalAdvance(label->text()) <= label->width(),
                 qPrintable(label->text()));
    }
}

void TestReportForm::opensEmptyWithChCompSelected()
{
    QVERIFY(isEmptyWithChComp(m_form));
    QComboBox* combo = sortCombo(m_form);
    QCOMPARE(combo->count(), 2);
    QCOMPARE(combo->itemText(0), QStringLiteral("CH. COMP."));
    QCOMPARE(combo->itemText(1), QStringLiteral("HARDNESS"));
    QVERIFY(combo->isEditable());
    QCOMPARE(combo->insertPolicy(), QComboBox::NoInsert);
}

void TestReportForm::focusMovesInTabOrder()
{
    const QStringList order = {
        "txtCoName",   "txtAdd",      "txtReport", "txtDate",      "txtCust",        "txtNome",
        "txtBatch",    "txtMat",      "cmbSort",   "txtNumTested", "txtNumAccepted", "txtNumUpper",
        "txtNumLower", "txtTestedBy", "cmdCancel", "cmdClose",     "cmdSave",        "txtCoName"};
    m_form->show();
    QVERIFY(QTest::qWaitForWindowActive(m_form));
    QStringList reached;
    for (int i = 0; i < order.size(); ++i) {
        QWidget* focus = QApplication::focusWidget();
        // The editable combo's line edit takes the focus for its combo.
        reached << (focus->objectName().isEmpty() ? focus->parentWidget()->objectName()
                                                  : focus->objectName());
        QTest::keyClick(focus, Qt::Key_Tab);
    }
    QCOMPARE(reached, order);
}

void TestReportForm::escapeClearsAndDoesNotClose_data()
{
    QTest::addColumn<QString>("focus");
    QTest::addColumn<QString>("typedIntoCombo");
    QTest::newRow("in the first text box") << "txtCoName"
                                           << "";
    QTest::newRow("in the last text box") << "txtTestedBy"
                                          << "";
    QTest::newRow("in the combo, after typing") << "cmbSort"
                                                << "xyz";
    QTest::newRow("on the Save button") << "cmdSave"
                                        << "";
}

void TestReportForm::escapeClearsAndDoesNotClose()
{
    QFETCH(QString, focus);
    QFETCH(QString, typedIntoCombo);
    m_form->show();
    QVERIFY(QTest::qWaitForWindowActive(m_form));
    fillIn(m_form);
    if (!typedIntoCombo.isEmpty()) {
        sortCombo(m_form)->setCurrentIndex(0); // typing leaves the entry's index as it was
        sortCombo(m_form)->lineEdit()->selectAll();
        QTest::keyClicks(sortCombo(m_form)->lineEdit(), typedIntoCombo);
        QCOMPARE(sortCombo(m_form)->currentText(), typedIntoCombo);
    }
    auto* target = m_form->findChild<QWidget*>(focus);
    target->setFocus();
    QTRY_VERIFY(target->hasFocus());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Escape);
    QVERIFY(isEmptyWithChComp(m_form));
    QVERIFY(m_form->isVisible());
}

void TestReportForm::closeDiscardsWithoutPrompt()
{
    m_form->show();
    QVERIFY(QTest::qWaitForWindowActive(m_form));
    fillIn(m_form);
    m_form->findChild<QPushButton*>("cmdClose")->click();
    QVERIFY(!m_form->isVisible());
    QCOMPARE(QApplication::activeModalWidget(), nullptr); // no prompt came up

    m_form->show(); // the window's own close control closes too
    QVERIFY(m_form->close());
    QVERIFY(!m_form->isVisible());
    QVERIFY(m_errors.isEmpty());
}

void TestReportForm::sortingBasisFollowsTheSelectedEntry_data()
{
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("chComp");
    QTest::newRow("CH. COMP. selected") << 0 << "" << true;
    QTest::newRow("HARDNESS selected") << 1 << "" << false;
    QTest::newRow("typed over CH. COMP.") << 0 << "xyz" << false;
    QTest::newRow("typed over HARDNESS") << 1 << "CH. COMP." << false;
}

void TestReportForm::sortingBasisFollowsTheSelectedEntry()
{
    QFETCH(int, index);
    QFETCH(QString, typed);
    QFETCH(bool, chComp);
    QComboBox* combo = sortCombo(m_form);
    combo->setCurrentIndex(index);
    if (!typed.isEmpty()) {
        combo->lineEdit()->selectAll();
        QTest::keyClicks(combo->lineEdit(), typed);
    }
    QCOMPARE(m_form->fields().chCompSelected, chComp);
}

void TestReportForm::lineBreaksBecomeBlanksAndTheFileKeepsItsLines_data()
{
    QTest::addColumn<Entry>("entry");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("shown");
    QTest::newRow("pasted CR LF, LF, CR, LF CR") << Entry::Pasted << "a\r\nb\nc\rd\n\re"
                                                 << "a b c d  e";
    QTest::newRow("typed separators")
        << Entry::Typed << QString::fromUtf8("a\u2028b\u2029c") << "a b c";
    QTest::newRow("dropped") << Entry::Dropped << "a\r\n\r\nb\r\n"
                             << "a  b ";
    QTest::newRow("set by the program") << Entry::SetByProgram << "\r\na\n"
                                        << " a ";
}

void TestReportForm::lineBreaksBecomeBlanksAndTheFileKeepsItsLines()
{
    QFETCH(Entry, entry);
    QFETCH(QString, text);
    QFETCH(QString, shown);
    const QString path = m_dir->filePath(QStringLiteral("saved.txt"));
    m_form->setFileNameChooser([&](QWidget*, const QString&) { return path; });
    m_form->show();
    QVERIFY(QTest::qWaitForWindowActive(m_form));
    for (const QString& name : kTextBoxes) {
        enter(textBox(m_form, name), entry, text);
        QCOMPARE(textBox(m_form, name)->text(), shown);
        QCOMPARE(textBox(m_form, name)->cursorPosition(), shown.size()); // after the text entered
    }
    m_form->findChild<QPushButton*>("cmdSave")->click();

    const QByteArray bytes = readAll(path);
    QCOMPARE(bytes.count("\r\n"), 24);
    QCOMPARE(bytes.count('\r'), 24);
    QCOMPARE(bytes.count('\n'), 24);
    QVERIFY(bytes.startsWith("Company Name: " + shown.toLatin1() + "\r\nAddress     : "));
}

void TestReportForm::textBeyondQtsDefaultLimitReachesTheFileWhole()
{
    const QString path = m_dir->filePath(QStringLiteral("saved.txt"));
    m_form->setFileNameChooser([&](QWidget*, const QString&) { return path; });
    const QString longText = QString(40000, u'x') + QStringLiteral("end");
    enter(textBox(m_form, "txtAdd"), Entry::Pasted, longText);
    m_form->findChild<QPushButton*>("cmdSave")->click();

    const QByteArray bytes = readAll(path);
    QVERIFY(bytes.contains("\r\nAddress     : " + longText.toLatin1() + "\r\n\r\n"));
    QCOMPARE(bytes.size(), reportBytes({}).size() + longText.size());
}

void TestReportForm::saveWritesTheFieldsAndLeavesTheFormAsItWas()
{
    const QString path = m_dir->filePath(QStringLiteral("saved.txt"));
    m_form->setFileNameChooser([&](QWidget*, const QString&) { return path; });
    m_form->show();
    fillIn(m_form);
    m_form->findChild<QPushButton*>("cmdSave")->click();

    const QByteArray bytes = readAll(path);
    QCOMPARE(bytes, reportBytes(m_form->fields()));
    QVERIFY(bytes.startsWith("Company Name:  txtCoName \r\nAddress     :  txtAdd \r\n"));
    QVERIFY(bytes.contains("\r\nSorting On  : HARDNESS\r\n"));
    QVERIFY(bytes.endsWith("\r\nTested By           :  txtTestedBy \r\n"));
    QCOMPARE(bytes.count("\r\n"), 24);

    QVERIFY(m_form->isVisible());
    QCOMPARE(textBox(m_form, "txtMat")->text(), QStringLiteral(" txtMat "));
    QCOMPARE(sortCombo(m_form)->currentIndex(), 1);
    QVERIFY(m_errors.isEmpty());
}

void TestReportForm::saveDialogOffersThePreviousName()
{
    QStringList answers = {m_dir->filePath("a.txt"), QString(), m_dir->filePath("b.txt"),
                           QString()};
    QList<QWidget*> parents;
    m_form->setFileNameChooser([&](QWidget* parent, const QString& previous) {
        parents << parent;
        m_offered << previous;
        return answers.takeFirst();
    });
    auto* save = m_form->findChild<QPushButton*>("cmdSave");
    save->click();
    m_form->findChild<QPushButton*>("cmdCancel")->click(); // Clear keeps the remembered name
    save->click();                                         // cancelled
    save->click();
    save->click();
    QCOMPARE(m_offered, (QStringList{"", m_dir->filePath("a.txt"), m_dir->filePath("a.txt"),
                                     m_dir->filePath("b.txt")}));
    QCOMPARE(parents, QList<QWidget*>(4, m_form)); // the dialog is owned by the form
}

void TestReportForm::cancelledDialogWritesNothing()
{
    const QString path = m_dir->filePath(QStringLiteral("kept.txt"));
    QString answer = path;
    m_form->setFileNameChooser([&](QWidget*, const QString&) { return answer; });
    auto* save = m_form->findChild<QPushButton*>("cmdSave");
    save->click();
    const QByteArray first = readAll(path);
    QCOMPARE(first, reportBytes({}));

    fillIn(m_form);
    answer.clear(); // the operator cancels: the previous file is not overwritten
    save->click();
    QCOMPARE(readAll(path), first);
    QCOMPARE(QDir(m_dir->path()).entryList(QDir::Files | QDir::Hidden), QStringList{"kept.txt"});
    QVERIFY(m_errors.isEmpty());
}

void TestReportForm::unwritableTargetIsReportedAndTheFormKeepsItsContents()
{
    // A folder under a regular file cannot be written even by root. (tst_diskfaults goes
    // through the other ways a write fails.)
    QFile plain(m_dir->filePath(QStringLiteral("plain.txt")));
    QVERIFY(plain.open(QIODevice::WriteOnly));
    plain.close();
    const QString path = m_dir->filePath(QStringLiteral("plain.txt/r.txt"));
    m_form->setFileNameChooser([&](QWidget*, const QString&) { return path; });
    m_form->show();
    fillIn(m_form);
    const QByteArray before = reportBytes(m_form->fields());

    m_form->findChild<QPushButton*>("cmdSave")->click();
    QCOMPARE(m_errors.size(), 1);
    QVERIFY2(m_errors.first().contains(QDir::toNativeSeparators(path)), qPrintable(m_errors[0]));
    QVERIFY(m_errors.first().contains(QString::fromLocal8Bit(std::strerror(ENOTDIR))));
    // The box says the typing is kept until Close, so the operator saves elsewhere first.
    QVERIFY2(m_errors.first().contains(u"keeps what was typed until it is closed"),
             qPrintable(m_errors[0]));
    QVERIFY(m_form->isVisible());
    QCOMPARE(reportBytes(m_form->fields()), before);
}

void TestReportForm::saveAsksBeforeWritingWhatTheCharacterSetCannotHold_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("answer"); // "": no question is expected
    QTest::addColumn<QByteArray>("written");
    QTest::addColumn<QString>("named");
    QTest::newRow("cancelled: nothing is written")
        << QString::fromUtf8("Łódź €5") << "Cancel" << QByteArray()
        << QString::fromUtf8("\"Ł\" (U+0141), \"ź\" (U+017A)");
    QTest::newRow("saved: ? for what does not fit, the euro sign as 0x80")
        << QString::fromUtf8("Łódź €5") << "Save"
        << QByteArray("?\xF3"
                      "d? \x80"
                      "5")
        << QString::fromUtf8("\"Ł\" (U+0141), \"ź\" (U+017A)");
    QTest::newRow("a C1 control character is asked about")
        << QString::fromUtf8("a\u0085b") << "Save" << QByteArray("a?b") << QStringLiteral("U+0085");
    QTest::newRow("everything fits: no question, an accent typed apart composed")
        << QString::fromUtf8("‘o\u0301’ – €") << "" << QByteArray("\x91\xF3\x92 \x96 \x80")
        << QString();
}

void TestReportForm::saveAsksBeforeWritingWhatTheCharacterSetCannotHold()
{
    QFETCH(QString, typed);
    QFETCH(QString, answer);
    QFETCH(QByteArray, written);
    QFETCH(QString, named);
    const QString path = m_dir->filePath(QStringLiteral("saved.txt"));
    m_form->setFileNameChooser([&](QWidget*, const QString&) { return path; });
    m_form->show();
    QVERIFY(QTest::qWaitForWindowActive(m_form));
    enter(textBox(m_form, "txtCoName"), Entry::Pasted, typed);
    answerQuestionsWith(answer.isEmpty() ? QStringLiteral("Cancel") : answer);
    m_form->findChild<QPushButton*>("cmdSave")->click();

    if (answer.isEmpty()) {
        QVERIFY(m_questions.isEmpty());
    } else {
        QCOMPARE(m_questions.size(), 1);
        QVERIFY2(m_questions[0].contains(named), qPrintable(m_questions[0]));
        QVERIFY2(m_questions[0].contains(QStringLiteral("written as \"?\"")),
                 qPrintable(m_questions[0]));
        QCOMPARE(m_questionButtons, (QStringList{"Cancel", "Save"}));
    }
    if (answer == u"Cancel") {
        QVERIFY(!QFileInfo::exists(path));
    } else {
        const QByteArray bytes = readAll(path);
        QVERIFY2(bytes.startsWith("Company Name: " + written + "\r\nAddress     : \r\n"),
                 bytes.first(40).toHex().constData());
        QCOMPARE(bytes.size(), reportBytes({}).size() + written.size());
    }
    QCOMPARE(textBox(m_form, "txtCoName")->text(), typed); // the form keeps what was typed
    QVERIFY(m_errors.isEmpty());
}

void TestReportForm::answerQuestionsWith(const QString& caption)
{
    delete m_watch;
    m_watch = new QTimer;
    connect(m_watch, &QTimer::timeout, this, [this, caption] {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || !box->isVisible())
            return;
        m_questions << box->text();
        QStringList captions;
        QAbstractButton* chosen = nullptr;
        for (QAbstractButton* button : box->buttons()) {
            captions << button->text().remove(u'&');
            if (captions.last() == caption)
                chosen = button;
        }
        captions.sort();
        m_questionButtons = captions;
        if (chosen)
            chosen->click();
        else
            box->reject();
    });
    m_watch->start(0);
}

void TestReportForm::whenReportFormOpens(std::function<void(ReportForm*)> action)
{
    delete m_watch; // a test may wait for several openings
    m_watch = new QTimer;
    connect(m_watch, &QTimer::timeout, this, [this, action] {
        auto* form = qobject_cast<ReportForm*>(QApplication::activeModalWidget());
        if (!form || !form->isVisible())
            return;
        m_watch->stop();
        QPointer<ReportForm> guarded = form;
        const auto closeAtEnd = qScopeGuard([guarded] {
            if (guarded)
                guarded->close();
        });
        action(form);
    });
    m_watch->start(0);
}

void TestReportForm::reportButtonOpensAFreshModalFormEachTime()
{
    MainWindow frmMain;
    frmMain.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frmMain));
    auto* report = frmMain.findChild<QPushButton*>("Report");
    auto* tmrScan = frmMain.findChild<QTimer*>("tmrScan");
    tmrScan->setInterval(1);
    const QString path = m_dir->filePath(QStringLiteral("r.txt"));
    int openings = 0;

    whenReportFormOpens([&](ReportForm* form) {
        ++openings;
        QCOMPARE(form->parentWidget(), &frmMain);
        QVERIFY(form->isModal());
        const QRect screen = frmMain.screen()->availableGeometry();
        const QPointF offCentre = QRectF(form->frameGeometry()).center() - QRectF(screen).center();
        QVERIFY(qAbs(offCentre.x()) <= 1 && qAbs(offCentre.y()) <= 1);
        QSignalSpy ticks(tmrScan, &QTimer::timeout); // the main window's timers go on
        QVERIFY(ticks.wait());
        form->setFileNameChooser([&](QWidget*, const QString& previous) {
            m_offered << previous;
            return path;
        });
        fillIn(form);
        form->findChild<QPushButton*>("cmdSave")->click();
    });
    report->click(); // returns once the form has closed
    QCOMPARE(openings, 1);
    QVERIFY(frmMain.findChildren<ReportForm*>().isEmpty()); // destroyed on closing
    QVERIFY(readAll(path).contains("Material    :  txtMat \r\n"));

    whenReportFormOpens([&](ReportForm* form) {
        ++openings;
        QVERIFY(isEmptyWithChComp(form));
        form->setFileNameChooser([&](QWidget*, const QString& previous) {
            m_offered << previous;
            return QString();
        });
        form->findChild<QPushButton*>("cmdSave")->click();
    });
    report->click();
    QCOMPARE(openings, 2);
    QCOMPARE(m_offered, (QStringList{"", ""})); // a fresh dialog remembers no name
}

QTEST_MAIN(TestReportForm)
#include "tst_reportform.moc"
