// TEditCmdForm: the command editor, the modal dialog that defines one slot.
//
// It works on a private copy of the slot's record (FCmd). Each control
// commits its field to the copy when it loses the focus, correcting bad
// numbers silently, and all of them commit again when the dialog closes. The
// caller reads GetCmd() after an OK and stores it; after Cancel it drops the
// form. The record the dialog was opened with (FSourceCmd) supplies the
// fallback values of the number commits and the "Defaults" button.
#pragma once

#include "config/CmdRecord.h"

#include <QColor>
#include <QDialog>

#include <cstdint>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;

namespace pmv {

// Text limits of the editor: the longest texts the configuration reader
// accepts, so that the editor cannot make a slot that a saved file cannot
// load again.
constexpr int kCmdStrMaxLength = 16;
constexpr int kCmdDescrMaxLength = 32;
constexpr int kStrMaxLength = 80;
constexpr int kValueMaxLength = 6;

class TEditCmdForm : public QDialog {
    Q_OBJECT
public:
    // Asks for a colour, starting from initial; nothing when the operator cancels.
    using TColorChooser = std::function<std::optional<QColor>(QWidget* parent, QColor initial)>;

    // index: the slot index 0..191, shown 1-based in the caption.
    TEditCmdForm(QWidget* owner, int index, const TCmdRecord& source);

    // Fills every control from r and enables the controls of r's kind.
    void ShowCmd(const TCmdRecord& r);
    // The working copy.
    TCmdRecord GetCmd() const { return FCmd; }
    int CmdIndex() const { return FCmdIndex; }

    // Replaces the colour dialog (QColorDialog by default), e.g. in tests.
    void SetColorChooser(TColorChooser chooser) { FColorChooser = std::move(chooser); }
    static std::optional<QColor> RunColorDialog(QWidget* parent, QColor initial);
    // The description's font colour, as a slot colour value.
    std::int32_t DescriptionColour() const { return FDescriptionColour; }

    void FormShow();
    void CmdTypeComboBoxChange();
    void DefaultsButtonClick();
    void OptionsGroupBoxDblClick();
    void CmdDescriptionLabeledEditSubLabelDblClick();

    void CmdStrLabeledEditExit();
    void CmdDescriptionLabeledEditExit();
    void StringEditExit();
    void ValDefaultLabeledEditExit();
    void ValMinLabeledEditExit();
    void ValMaxLabeledEditExit();
    void ValIncLabeledEditExit();
    void IncInSetAllCheckBoxExit();
    void IncInGetAllCheckBoxExit();
    void UpdateEditOnGetCheckBoxExit();
    void TxOnValueChangeCheckBoxExit();
    void DisabledCheckBoxExit();

    // OK, Cancel, Escape and the close box all end here: every control
    // commits first (FormClose).
    void done(int result) override;

    QGroupBox* CmdGroupBox;
    QLabel* CmdTypeLabel;
    QComboBox* CmdTypeComboBox;
    QLineEdit* CmdStrLabeledEdit;
    QLabel* CmdStrLabeledEditSubLabel;
    QLineEdit* CmdDescriptionLabeledEdit;
    QLabel* CmdDescriptionLabeledEditSubLabel;
    QLineEdit* StrLabeledEdit;
    QLabel* StrLabeledEditSubLabel;

    QGroupBox* ValGroupBox;
    QLineEdit* ValDefaultLabeledEdit;
    QLabel* ValDefaultLabeledEditSubLabel;
    QLineEdit* ValMinLabeledEdit;
    QLabel* ValMinLabeledEditSubLabel;
    QLineEdit* ValMaxLabeledEdit;
    QLabel* ValMaxLabeledEditSubLabel;
    QLineEdit* ValIncLabeledEdit;
    QLabel* ValIncLabeledEditSubLabel;

    QGroupBox* OptionsGroupBox;
    QCheckBox* IncInSetAllCheckBox;
    QCheckBox* IncInGetAllCheckBox;
    QCheckBox* UpdateEditOnGetCheckBox;
    QCheckBox* TxOnValueChangeCheckBox;
    QCheckBox* DisabledCheckBox;

    QPushButton* OKBitBtn;
    QPushButton* DefaultsButton;
    QPushButton* CancelBitBtn;

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void SetDescriptionColour(std::int32_t colour);
    void CommitValue(QLineEdit* edit, std::int32_t& field, std::int32_t min, std::int32_t max,
                     std::int32_t def);
    void CommitFlag(QCheckBox* box, std::uint32_t flag);

    TCmdRecord FSourceCmd; // the slot as it was when the dialog opened
    TCmdRecord FCmd;       // the working copy
    int FCmdIndex;
    std::int32_t FDescriptionColour = 0;
    TColorChooser FColorChooser;
    std::vector<std::pair<QObject*, void (TEditCmdForm::*)()>> FExitHandlers;
};

// Runs the command editor modally for slot index with owner as parent. On OK
// the record takes the edited definition and the result is true; on Cancel,
// or for an index outside the table, the record is left alone.
bool EditCmd(QWidget* owner, int index, TCmdRecord& record);

} // namespace pmv
