#include "link/portdialog.h"

#include "windowkit/fixedwindow.h"
#include "windowkit/windowstyle.h"
#include "link/comname.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopedValueRollback>

namespace lumatrax {

namespace {

constexpr int kPorts = 255;

// The client area, in twips.
constexpr int kClientWidthTwips = 3135;
constexpr int kClientHeightTwips = 2040;

} // namespace

PortDialog::PortDialog(std::int16_t current, QWidget* owner) : QDialog(owner)
{
    makeFixedWindow(this, kClientWidthTwips, kClientHeightTwips);
    setObjectName(QStringLiteral("frmPort"));
    setWindowTitle(QStringLiteral("Select Port"));
    setStyleSheet(QLatin1String(kDialogFontStyle));
    setModal(true);

    m_cmdOK = place(new QPushButton(QStringLiteral("OK"), this), "cmdOK", 1680, 1560, 1215, 375);
    m_cmdOK->setDefault(true);
    connect(m_cmdOK, &QPushButton::clicked, this, &QDialog::accept);

    m_cmdCancel =
        place(new QPushButton(QStringLiteral("Cancel"), this), "cmdCancel", 240, 1560, 1215, 375);
    m_cmdCancel->setAutoDefault(false);
    connect(m_cmdCancel, &QPushButton::clicked, this, &QDialog::reject); // Escape too

    m_cmbPort = place(new QComboBox(this), "cmbPort", 1200, 1080, 1335, 315);
    m_cmbPort->setEditable(true);
    m_cmbPort->setInsertPolicy(QComboBox::NoInsert);
    m_cmbPort->setMaxVisibleItems(12);

    m_label1 = place(new QLabel(QStringLiteral("Port ID:"), this), "Label1", 360, 1080, 975, 255);

    // A label shows "&" as it stands; the text reads "(COM & LPT)".
    m_label2 = place(new QLabel(QStringLiteral("PortID is the port number specified in the "
                                               "Control Panel - Device Manager -  Ports (COM & "
                                               "LPT) , where the device is registered."),
                                this),
                     "Label2", 120, 120, 2895, 855);
    m_label2->setWordWrap(true);
    m_label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    setTabOrder(m_cmdOK, m_cmdCancel);
    setTabOrder(m_cmdCancel, m_cmbPort);

    // The list is built from scratch on every showing; entry i - 1 is port i.
    for (int i = 1; i <= kPorts; ++i)
        m_cmbPort->addItem(comName(i));
    m_cmbPort->setCurrentIndex(current >= 1 && current <= kPorts ? current - 1 : -1);
    connect(m_cmbPort, &QComboBox::editTextChanged, this, &PortDialog::selectNamedEntry);

    m_cmdOK->setFocus();
}

void PortDialog::selectNamedEntry(const QString& text)
{
    if (m_selecting)
        return;
    // Exactly an entry's name once the blanks around it are gone; letter case aside.
    const int named = m_cmbPort->findText(text.trimmed(), Qt::MatchFixedString);
    if (named == m_cmbPort->currentIndex())
        return;
    // Selecting an entry writes its name into the field (none: an empty field). The operator's
    // text goes back as it was, with the cursor and any selection where they were.
    QLineEdit* field = m_cmbPort->lineEdit();
    const int cursor = field->cursorPosition();
    const int selectionStart = field->selectionStart();
    const int selectionLength = field->selectedText().size();
    const QScopedValueRollback<bool> guard(m_selecting, true);
    m_cmbPort->setCurrentIndex(named);
    if (field->text() != text) {
        field->setText(text);
        if (selectionLength > 0 && cursor == selectionStart)
            field->setSelection(selectionStart + selectionLength, -selectionLength);
        else if (selectionLength > 0)
            field->setSelection(selectionStart, selectionLength);
        else
            field->setCursorPosition(cursor);
    }
}

std::int16_t PortDialog::chosenPort() const
{
    return std::int16_t(m_cmbPort->currentIndex() + 1);
}

std::optional<std::int16_t> PortDialog::choose(std::int16_t current, QWidget* owner)
{
    PortDialog dialog(current, owner);
    centreWindow(&dialog, Centring::OnOwner);
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.chosenPort();
}

} // namespace lumatrax
