#include "link/portdialog.h"

#include "display/geometry.h"
#include "display/twipslayout.h"
#include "display/windowstyle.h"
#include "link/comname.h"

#include <QComboBox>
#include <QLabel>
#include <QPushButton>

namespace lumatrax {

namespace {

constexpr int kPorts = 255;

} // namespace

PortDialog::PortDialog(std::int16_t current, QWidget* owner)
    : QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                         Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("frmPort"));
    setWindowTitle(QStringLiteral("Select Port"));
    setStyleSheet(QLatin1String(kDialogFontStyle));
    setFixedSize(twipsToPixels(3135), twipsToPixels(2040));
    setModal(true);

    m_cmdOK = new QPushButton(QStringLiteral("OK"), this);
    m_cmdOK->setObjectName(QStringLiteral("cmdOK"));
    m_cmdOK->setGeometry(twipsRect(1680, 1560, 1215, 375));
    m_cmdOK->setDefault(true);
    connect(m_cmdOK, &QPushButton::clicked, this, &QDialog::accept);

    m_cmdCancel = new QPushButton(QStringLiteral("Cancel"), this);
    m_cmdCancel->setObjectName(QStringLiteral("cmdCancel"));
    m_cmdCancel->setGeometry(twipsRect(240, 1560, 1215, 375));
    m_cmdCancel->setAutoDefault(false);
    connect(m_cmdCancel, &QPushButton::clicked, this, &QDialog::reject); // Escape too

    m_cmbPort = new QComboBox(this);
    m_cmbPort->setObjectName(QStringLiteral("cmbPort"));
    m_cmbPort->setGeometry(twipsRect(1200, 1080, 1335, 315));
    m_cmbPort->setEditable(true);
    m_cmbPort->setInsertPolicy(QComboBox::NoInsert);
    m_cmbPort->setMaxVisibleItems(12);

    m_label1 = new QLabel(QStringLiteral("Port ID:"), this);
    m_label1->setObjectName(QStringLiteral("Label1"));
    m_label1->setGeometry(twipsRect(360, 1080, 975, 255));

    // A label shows "&" as it stands; the text reads "(COM & LPT)".
    m_label2 = new QLabel(QStringLiteral("PortID is the port number specified in the Control "
                                         "Panel - Device Manager -  Ports (COM & LPT) , where "
                                         "the device is registered."),
                          this);
    m_label2->setObjectName(QStringLiteral("Label2"));
    m_label2->setGeometry(twipsRect(120, 120, 2895, 855));
    m_label2->setWordWrap(true);
    m_label2->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    setTabOrder(m_cmdOK, m_cmdCancel);
    setTabOrder(m_cmdCancel, m_cmbPort);

    // The list is built from scratch on every showing; entry i - 1 is port i.
    for (int i = 1; i <= kPorts; ++i)
        m_cmbPort->addItem(comName(i));
    m_cmbPort->setCurrentIndex(current >= 1 && current <= kPorts ? current - 1 : -1);

    m_cmdOK->setFocus();
}

std::int16_t PortDialog::chosenPort() const
{
    return std::int16_t(m_cmbPort->currentIndex() + 1);
}

std::optional<std::int16_t> PortDialog::choose(std::int16_t current, QWidget* owner)
{
    PortDialog dialog(current, owner);
    if (owner) {
        QRect placed = dialog.frameGeometry();
        placed.moveCenter(owner->frameGeometry().center());
        dialog.move(placed.topLeft());
    }
    if (dialog.exec() != QDialog::Accepted)
        return std::nullopt;
    return dialog.chosenPort();
}

} // namespace lumatrax
