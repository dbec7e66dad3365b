#pragma once

#include <QDialog>

#include <cstdint>
#include <optional>

class QComboBox;
class QLabel;
class QPushButton;

namespace lumatrax {

// The port dialog frmPort: a list of COM1..COM255 with the current port selected. It hands the
// choice back and does nothing with it; the main window stores and saves it.
class PortDialog : public QDialog
{
    Q_OBJECT
public:
    // Builds the dialog and its list afresh and selects `current` (none when it is not 1..255).
    PortDialog(std::int16_t current, QWidget* owner);

    // The port of the selected entry, 0 when none is selected.
    [[nodiscard]] std::int16_t chosenPort() const;

    // Shows the dialog modally, centred on its owner. The chosen port after OK; empty after
    // Cancel, Escape or the window's close box.
    static std::optional<std::int16_t> choose(std::int16_t current, QWidget* owner);

private:
    QPushButton* m_cmdOK = nullptr;
    QPushButton* m_cmdCancel = nullptr;
    QComboBox* m_cmbPort = nullptr;
    QLabel* m_label1 = nullptr;
    QLabel* m_label2 = nullptr;
};

} // namespace lumatrax
