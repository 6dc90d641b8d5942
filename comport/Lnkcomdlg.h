// The port settings form and the dialog component that shows it.
//
// TLNKCOMDlgFrm shows the five settings (port, baud rate, data bits, parity,
// stop bits) in drop-down lists, with a tick or a cross beside every port
// number telling whether the port is present. It works on the values it was
// given and writes the caller's five variables only on OK. TLNKCOMDlg keeps
// its own copy of the settings between calls; TLNKCOMPort::COMDlg uses the
// same form and applies the result to the port.
#pragma once

#include "comport/LnkTypes.h"
#include "comport/Lnkcomponent.h"

#include <QComboBox>
#include <QDialog>
#include <QIcon>
#include <array>
#include <functional>
#include <string>

class QGroupBox;
class QLabel;
class QPushButton;

namespace QORLNK {

/// Drop-down list with images whose list runs OnDropDown before it opens.
class TLNKImageComboBox : public QComboBox {
    Q_OBJECT
public:
    using QComboBox::QComboBox;
    std::function<void()> OnDropDown;
    void showPopup() override;
};

/// The settings form. Controls are public, as on a designed form.
class TLNKCOMDlgFrm : public QDialog {
    Q_OBJECT
public:
    /// Out-of-range values are replaced: port limit by 32 (never more than
    /// 32 ports are listed), port by 1, the line settings by br9600, db8,
    /// paNone and sb1. The five variables are written only on OK.
    TLNKCOMDlgFrm(int X, int Y, const std::string& ATitle, TCOMDlgReadOnlyAttribs AReadOnly,
                  int APortLimit, int& APort, TBaudRate& ABaudRate, TDataBits& ADataBits,
                  TParity& AParity, TStopBits& AStopBits, QWidget* AOwner = nullptr);

    QGroupBox* COMSettingsGroupBox;
    QLabel* COMPortLabel;
    TLNKImageComboBox* COMPortComboBoxEx;
    QLabel* BaudRateLabel;
    QComboBox* BaudRateComboBox;
    QLabel* DataBitsLabel;
    QComboBox* DataBitsComboBox;
    QLabel* ParityLabel;
    QComboBox* ParityComboBox;
    QLabel* StopBitsLabel;
    QComboBox* StopBitsComboBox;
    QPushButton* OKButton;
    QPushButton* DefaultsButton;
    QPushButton* CancelButton;
    /// Image 0: green tick (port present); image 1: dark red cross (absent).
    std::array<QIcon, 2> ImageList;

    /// Number of ports listed (1..32).
    int PortLimit() const { return FPortLimit; }

    void FormShow();
    /// Presence refresh: tick or cross on every port item, and the item's
    /// tooltip saying what the port is.
    void COMPortComboBoxExDropDown();
    void OKButtonClick();
    void DefaultsButtonClick();
    void CancelButtonClick();

protected:
    void showEvent(QShowEvent* event) override;

private:
    void SelectInitialValues();
    void ShowCurrentPortTip();

    const int FX;
    const int FY;
    const std::string FTitle;
    const TCOMDlgReadOnlyAttribs FReadOnly;
    int FPortLimit;
    int FInitPort;
    TBaudRate FInitBaudRate;
    TDataBits FInitDataBits;
    TParity FInitParity;
    TStopBits FInitStopBits;
    int& FPortVar;
    TBaudRate& FBaudRateVar;
    TDataBits& FDataBitsVar;
    TParity& FParityVar;
    TStopBits& FStopBitsVar;
    bool FShown = false;
};

/// Builds the form once with the default settings, not shown, and gives its
/// outer width and height (0 without a widget application).
void MeasureCOMDlgFrm(int& width, int& height);

/// The dialog component: keeps the settings and shows the form on Execute.
class TLNKCOMDlg : public TLNKComponent {
    Q_OBJECT
public:
    explicit TLNKCOMDlg(QObject* AOwner = nullptr, bool ADesigning = false);

    const std::string& Copyright() const { return FCopyright; }
    const std::string& Version() const { return FVersion; }
    const std::string& Title() const { return FTitle; }
    int COMMax() const { return FCOMMax; }
    int Port() const { return FPort; }
    TBaudRate BaudRate() const { return FBaudRate; }
    TDataBits DataBits() const { return FDataBits; }
    TParity Parity() const { return FParity; }
    TStopBits StopBits() const { return FStopBits; }
    TCOMDlgReadOnlyAttribs ReadOnlyAttribs() const { return FReadOnlyAttribs; }

    /// Ignores what is written.
    void SetCopyright(const std::string&) {}
    /// Ignores what is written.
    void SetVersion(const std::string&) {}
    void SetTitle(const std::string& ATitle) { FTitle = ATitle; }
    /// 1..256; a Port above the new limit becomes the limit.
    void SetCOMMax(int m);
    /// 0..COMMax (0 is shown as port 1).
    void SetPort1(int n);
    void SetBaudRate(TBaudRate b);
    void SetDataBits(TDataBits d);
    void SetParity(TParity p);
    void SetStopBits(TStopBits s);
    void SetReadOnlyAttribs(TCOMDlgReadOnlyAttribs a) { FReadOnlyAttribs = a; }

    std::string GetPortStr() const;
    std::string GetBaudRateStr() const;
    std::string GetDataBitsStr() const;
    std::string GetParityStr() const;
    std::string GetStopBitsStr() const;

    /// Outer size of the settings form, measured once at construction.
    int GetCOMDlgWidth() const { return FCOMDlgWidth; }
    int GetCOMDlgHeight() const { return FCOMDlgHeight; }

    /// Shows the settings form modally at screen position X, Y; on OK the
    /// five settings are taken over. The caller reads the properties after.
    void Execute(int X, int Y);

private:
    std::string FCopyright;
    std::string FVersion;
    std::string FTitle;
    int FCOMMax = 32;
    int FPort = 1;
    TBaudRate FBaudRate = br9600;
    TDataBits FDataBits = db8;
    TParity FParity = paNone;
    TStopBits FStopBits = sb1;
    TCOMDlgReadOnlyAttribs FReadOnlyAttribs;
    int FCOMDlgWidth = 0;
    int FCOMDlgHeight = 0;
};

} // namespace QORLNK
