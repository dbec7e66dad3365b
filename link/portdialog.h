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
//
// The list's text field takes typing too. The entry selected is always the one the field shows:
// typed text that names an entry (blanks around it and letter case aside: " com7 " is COM7)
// selects that entry, and any other text selects none, which OK hands back as port 0.
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
    // Selects the entry the field's text names, or none, leaving the text as typed.
    void selectNamedEntry(const QString& text);

    QPushButton* m_cmdOK = nullptr;
    QPushButton* m_cmdCancel = nullptr;
    QComboBox* m_cmbPort = nullptr;
    QLabel* m_label1 = nullptr;
    QLabel* m_label2 = nullptr;
    bool m_selecting = false; // while selectNamedEntry puts the typed text back
};

} // namespace lumatrax
