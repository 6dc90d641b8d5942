#include "comport/Lnkcomdlg.h"

#include "comport/LnkText.h"
#include "comport/Lnkcomport.h"
#include "comport/Lnkutils.h"

#include <QApplication>
#include <QGroupBox>
#include <QLabel>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QShowEvent>

#include <span>

namespace QORLNK {

namespace {

constexpr int kMaxListedPorts = 32;
constexpr int kComboHeight = 21;
constexpr int kDropDownLines = 8;

QIcon TickImage() {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(0, 160, 0), 2.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPolyline(QPolygonF({QPointF(3, 8.5), QPointF(6.5, 12), QPointF(13, 4)}));
    return QIcon(pm);
}

QIcon CrossImage() {
    QPixmap pm(16, 16);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(QColor(128, 0, 0), 2.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(4, 4), QPointF(12, 12));
    p.drawLine(QPointF(12, 4), QPointF(4, 12));
    return QIcon(pm);
}

// A list drops down below itself and shows at most kDropDownLines items,
// scrolling the rest. Some styles (Fusion, the usual one on Linux) otherwise
// open a list over itself with every item, 32 ports from the top of the
// screen to the bottom.
void DropDownBelow(QComboBox* box) {
    box->setMaxVisibleItems(kDropDownLines);
    box->setStyleSheet(QStringLiteral("QComboBox { combobox-popup: 0; }"));
}

// A list of one line setting: item i is the caption of the table's row i,
// so an index is the setting's ordinal.
QComboBox* MakeList(QWidget* parent, int x, int y, int width,
                    std::span<const pmv::platform::TLineSettingRow> rows) {
    auto* box = new QComboBox(parent);
    box->setGeometry(x, y, width, kComboHeight);
    DropDownBelow(box);
    for (const pmv::platform::TLineSettingRow& row : rows)
        box->addItem(QString::fromLatin1(row.caption));
    return box;
}

QLabel* MakeLabel(QWidget* parent, int x, int y, const char* text) {
    auto* label = new QLabel(QString::fromLatin1(text), parent);
    label->move(x, y);
    label->adjustSize();
    return label;
}

} // namespace

void TLNKImageComboBox::showPopup() {
    if (OnDropDown)
        OnDropDown();
    QComboBox::showPopup();
}

// ---------------------------------------------------------------------------
// TLNKCOMDlgFrm

TLNKCOMDlgFrm::TLNKCOMDlgFrm(int X, int Y, const std::string& ATitle,
                             TCOMDlgReadOnlyAttribs AReadOnly, int APortLimit, int& APort,
                             TBaudRate& ABaudRate, TDataBits& ADataBits, TParity& AParity,
                             TStopBits& AStopBits, QWidget* AOwner)
    : QDialog(AOwner, Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                          Qt::WindowCloseButtonHint | Qt::CustomizeWindowHint),
      FX(X), FY(Y), FTitle(ATitle), FReadOnly(AReadOnly), FPortVar(APort), FBaudRateVar(ABaudRate),
      FDataBitsVar(ADataBits), FParityVar(AParity), FStopBitsVar(AStopBits) {
    setObjectName(QStringLiteral("LNKCOMDlgFrm"));
    FPortLimit = (APortLimit >= 1 && APortLimit <= kMaxListedPorts) ? APortLimit : kMaxListedPorts;
    FInitPort = (APort >= 1 && APort <= FPortLimit) ? APort : 1;
    FInitBaudRate = IsBaudRate(ABaudRate) ? ABaudRate : br9600;
    FInitDataBits = IsDataBits(ADataBits) ? ADataBits : db8;
    FInitParity = IsParity(AParity) ? AParity : paNone;
    FInitStopBits = IsStopBits(AStopBits) ? AStopBits : sb1;

    // The standard dialog font is the application's: the host sets the one
    // its layouts are drawn for.
    setFixedSize(209, 143);
    ImageList = {TickImage(), CrossImage()};

    COMSettingsGroupBox = new QGroupBox(this);
    COMSettingsGroupBox->setGeometry(8, 0, 193, 105);

    COMPortLabel = MakeLabel(COMSettingsGroupBox, 8, 16, "COM Port");
    COMPortComboBoxEx = new TLNKImageComboBox(COMSettingsGroupBox);
    COMPortComboBoxEx->setGeometry(8, 32, 57, kComboHeight);
    DropDownBelow(COMPortComboBoxEx);
    COMPortComboBoxEx->setIconSize(QSize(16, 16));
    COMPortComboBoxEx->OnDropDown = [this] { COMPortComboBoxExDropDown(); };
    connect(COMPortComboBoxEx, &QComboBox::currentIndexChanged, this,
            [this] { ShowCurrentPortTip(); });

    BaudRateLabel = MakeLabel(COMSettingsGroupBox, 72, 16, "Baud Rate");
    BaudRateComboBox = MakeList(COMSettingsGroupBox, 72, 32, 65, pmv::platform::kBaudRateRows);
    DataBitsLabel = MakeLabel(COMSettingsGroupBox, 142, 16, "Data Bits");
    DataBitsComboBox = MakeList(COMSettingsGroupBox, 144, 32, 41, pmv::platform::kDataBitsRows);
    ParityLabel = MakeLabel(COMSettingsGroupBox, 8, 56, "Parity");
    ParityComboBox = MakeList(COMSettingsGroupBox, 8, 72, 65, pmv::platform::kParityRows);
    StopBitsLabel = MakeLabel(COMSettingsGroupBox, 80, 56, "Stop Bits");
    StopBitsComboBox = MakeList(COMSettingsGroupBox, 80, 72, 49, pmv::platform::kStopBitsRows);

    OKButton = new QPushButton(QStringLiteral("&OK"), this);
    OKButton->setGeometry(8, 112, 57, 25);
    OKButton->setDefault(true);
    DefaultsButton = new QPushButton(QStringLiteral("&Defaults"), this);
    DefaultsButton->setGeometry(72, 112, 57, 25);
    DefaultsButton->setAutoDefault(false);
    CancelButton = new QPushButton(QStringLiteral("&Cancel"), this);
    CancelButton->setGeometry(136, 112, 57, 25);
    CancelButton->setAutoDefault(false);

    connect(OKButton, &QPushButton::clicked, this, [this] { OKButtonClick(); });
    connect(DefaultsButton, &QPushButton::clicked, this, [this] { DefaultsButtonClick(); });
    connect(CancelButton, &QPushButton::clicked, this, [this] { CancelButtonClick(); });

    setTabOrder(OKButton, DefaultsButton);
    setTabOrder(DefaultsButton, CancelButton);
    setTabOrder(CancelButton, COMPortComboBoxEx);
    setTabOrder(COMPortComboBoxEx, BaudRateComboBox);
    setTabOrder(BaudRateComboBox, DataBitsComboBox);
    setTabOrder(DataBitsComboBox, ParityComboBox);
    setTabOrder(ParityComboBox, StopBitsComboBox);
}

void TLNKCOMDlgFrm::showEvent(QShowEvent* event) {
    if (!FShown && !event->spontaneous()) {
        FShown = true;
        FormShow();
    }
    QDialog::showEvent(event);
}

void TLNKCOMDlgFrm::FormShow() {
    move(FX, FY);
    setWindowTitle(QString::fromStdString(FTitle));
    COMPortComboBoxEx->clear();
    for (int i = 1; i <= FPortLimit; ++i)
        COMPortComboBoxEx->addItem(QString::number(i));
    COMPortComboBoxExDropDown();
    SelectInitialValues();
    COMPortComboBoxEx->setEnabled(!FReadOnly.Contains(roPort));
    BaudRateComboBox->setEnabled(!FReadOnly.Contains(roBaudRate));
    DataBitsComboBox->setEnabled(!FReadOnly.Contains(roDataBits));
    ParityComboBox->setEnabled(!FReadOnly.Contains(roParity));
    StopBitsComboBox->setEnabled(!FReadOnly.Contains(roStopBits));
}

void TLNKCOMDlgFrm::COMPortComboBoxExDropDown() {
    // Absent ports stay selectable. Each item's tooltip says what the port
    // is (device, stable name, description, publisher or holder).
    const std::vector<std::string> texts = PortDescriptions(COMPortComboBoxEx->count());
    for (int i = 1; i <= COMPortComboBoxEx->count(); ++i) {
        COMPortComboBoxEx->setItemIcon(i - 1, ImageList[IsPortPres(i) ? 0 : 1]);
        if (static_cast<std::size_t>(i) <= texts.size())
            COMPortComboBoxEx->setItemData(i - 1, QString::fromStdString(texts[i - 1]),
                                           Qt::ToolTipRole);
    }
    ShowCurrentPortTip();
}

void TLNKCOMDlgFrm::ShowCurrentPortTip() {
    // The closed list shows the selected port's tooltip.
    COMPortComboBoxEx->setToolTip(COMPortComboBoxEx->currentData(Qt::ToolTipRole).toString());
}

void TLNKCOMDlgFrm::SelectInitialValues() {
    COMPortComboBoxEx->setCurrentIndex(FInitPort - 1);
    BaudRateComboBox->setCurrentIndex(FInitBaudRate);
    DataBitsComboBox->setCurrentIndex(FInitDataBits);
    ParityComboBox->setCurrentIndex(FInitParity);
    StopBitsComboBox->setCurrentIndex(FInitStopBits);
}

void TLNKCOMDlgFrm::OKButtonClick() {
    FPortVar = COMPortComboBoxEx->currentIndex() + 1;
    FBaudRateVar = static_cast<TBaudRate>(BaudRateComboBox->currentIndex());
    FDataBitsVar = static_cast<TDataBits>(DataBitsComboBox->currentIndex());
    FParityVar = static_cast<TParity>(ParityComboBox->currentIndex());
    FStopBitsVar = static_cast<TStopBits>(StopBitsComboBox->currentIndex());
    accept();
}

void TLNKCOMDlgFrm::DefaultsButtonClick() {
    SelectInitialValues();
}

void TLNKCOMDlgFrm::CancelButtonClick() {
    reject();
}

void MeasureCOMDlgFrm(int& width, int& height) {
    width = 0;
    height = 0;
    if (qobject_cast<QApplication*>(QCoreApplication::instance()) == nullptr)
        return; // no widgets without a widget application
    int port = 1;
    TBaudRate baudRate = br9600;
    TDataBits dataBits = db8;
    TParity parity = paNone;
    TStopBits stopBits = sb1;
    TLNKCOMDlgFrm form(0, 0, std::string(), TCOMDlgReadOnlyAttribs{}, 1, port, baudRate, dataBits,
                       parity, stopBits, nullptr);
    // Not shown, so the window system has added no frame yet: the outer size
    // is the client size plus whatever frame the toolkit already knows.
    const QRect outer = form.frameGeometry();
    width = outer.width();
    height = outer.height();
}

// ---------------------------------------------------------------------------
// The settings form of TLNKCOMPort (here, with the form, so that the port's
// own unit needs no widgets)

namespace {

QWidget* OwnerWidget(QObject* owner) {
    for (QObject* o = owner; o != nullptr; o = o->parent()) {
        if (auto* w = qobject_cast<QWidget*>(o))
            return w;
    }
    return nullptr;
}

} // namespace

int TLNKCOMPort::GetCOMDlgWidth() const {
    if (FCOMDlgWidth == 0)
        MeasureCOMDlgFrm(FCOMDlgWidth, FCOMDlgHeight);
    return FCOMDlgWidth;
}

int TLNKCOMPort::GetCOMDlgHeight() const {
    if (FCOMDlgWidth == 0)
        MeasureCOMDlgFrm(FCOMDlgWidth, FCOMDlgHeight);
    return FCOMDlgHeight;
}

void TLNKCOMPort::COMDlg(int X, int Y) {
    int port = FPort;
    TBaudRate baudRate = FBaudRate;
    TDataBits dataBits = FDataBits;
    TParity parity = FParity;
    TStopBits stopBits = FStopBits;
    TLNKCOMDlgFrm form(X, Y, "COM Port Settings", TCOMDlgReadOnlyAttribs{}, FCOMMax, port, baudRate,
                       dataBits, parity, stopBits, OwnerWidget(Owner()));
    if (form.exec() == QDialog::Accepted) {
        SetPort1(port);
        SetBaudRate(baudRate);
        SetDataBits(dataBits);
        SetParity(parity);
        SetStopBits(stopBits);
    }
}

// ---------------------------------------------------------------------------
// TLNKCOMDlg

TLNKCOMDlg::TLNKCOMDlg(QObject* AOwner, bool ADesigning)
    : TLNKComponent(AOwner, ADesigning), FCopyright(LnkCopyright), FVersion(LnkVersion) {
    MeasureCOMDlgFrm(FCOMDlgWidth, FCOMDlgHeight);
}

void TLNKCOMDlg::SetCOMMax(int m) {
    if (m < 1 || m > 256 || m == FCOMMax)
        return;
    FCOMMax = m;
    if (FPort > m)
        FPort = m;
}

void TLNKCOMDlg::SetPort1(int n) {
    if (n >= 0 && n <= FCOMMax && n != FPort)
        FPort = n;
}

void TLNKCOMDlg::SetBaudRate(TBaudRate b) {
    if (IsBaudRate(b) && b != FBaudRate)
        FBaudRate = b;
}

void TLNKCOMDlg::SetDataBits(TDataBits d) {
    if (IsDataBits(d) && d != FDataBits)
        FDataBits = d;
}

void TLNKCOMDlg::SetParity(TParity p) {
    if (IsParity(p) && p != FParity)
        FParity = p;
}

void TLNKCOMDlg::SetStopBits(TStopBits s) {
    if (IsStopBits(s) && s != FStopBits)
        FStopBits = s;
}

std::string TLNKCOMDlg::GetPortStr() const {
    return std::to_string(FPort);
}

std::string TLNKCOMDlg::GetBaudRateStr() const {
    return BaudRateStr(FBaudRate);
}

std::string TLNKCOMDlg::GetDataBitsStr() const {
    return DataBitsStr(FDataBits);
}

std::string TLNKCOMDlg::GetParityStr() const {
    return ParityStr(FParity);
}

std::string TLNKCOMDlg::GetStopBitsStr() const {
    return StopBitsStr(FStopBits);
}

void TLNKCOMDlg::Execute(int X, int Y) {
    int port = FPort;
    TBaudRate baudRate = FBaudRate;
    TDataBits dataBits = FDataBits;
    TParity parity = FParity;
    TStopBits stopBits = FStopBits;
    QWidget* ownerWidget = nullptr;
    for (QObject* o = Owner(); o != nullptr && ownerWidget == nullptr; o = o->parent())
        ownerWidget = qobject_cast<QWidget*>(o);
    TLNKCOMDlgFrm form(X, Y, FTitle, FReadOnlyAttribs, FCOMMax, port, baudRate, dataBits, parity,
                       stopBits, ownerWidget);
    if (form.exec() == QDialog::Accepted) {
        // Taken over directly, without the setters' checks.
        FPort = port;
        FBaudRate = baudRate;
        FDataBits = dataBits;
        FParity = parity;
        FStopBits = stopBits;
    }
}

} // namespace QORLNK
