#include "serialdialogs/SerStdDlg.h"

#include <QComboBox>
#include <QPushButton>
#include <algorithm>

#include "common/Ansi.h"
#include "serial/Serial.h"
#include "ui_SerStdDlg.h"

// ---- DCB flag fields ------------------------------------------------------------------

namespace {

uint32_t FieldMask(int position) {
    return (position == fDtrControl || position == fRtsControl) ? 3u : 1u;
}

}  // namespace

int GetDcbFlag(const TDcb& dcb, int position) {
    return static_cast<int>((dcb.Flags >> position) & FieldMask(position));
}

void SetDcbFlag(TDcb& dcb, int position, int value) {
    const uint32_t mask = FieldMask(position);
    dcb.Flags =
        (dcb.Flags & ~(mask << position)) | ((static_cast<uint32_t>(value) & mask) << position);
}

bool BuildCommDcb(const QByteArray& definition, TDcb& dcb) {
    TDcb built = dcb;
    built.Flags = 1u << fBinary;  // no flow control of any kind
    for (const QByteArray& item : definition.simplified().split(' ')) {
        if (item.isEmpty()) continue;
        const int eq = item.indexOf('=');
        if (eq <= 0) return false;
        const QByteArray key = item.left(eq).toLower();
        const QByteArray value = item.mid(eq + 1).toLower();
        bool ok = false;
        if (key == "baud") {
            const uint32_t rate = value.toUInt(&ok);
            if (!ok || rate == 0) return false;
            built.BaudRate = rate;
        } else if (key == "parity") {
            static const QByteArray codes = "noems";
            const int code = value.size() == 1 ? codes.indexOf(value[0]) : -1;
            if (code < 0) return false;
            built.Parity = static_cast<uint8_t>(code);
            SetDcbFlag(built, fParity, code != 0);
        } else if (key == "data") {
            const int bits = value.toInt(&ok);
            if (!ok || bits < 4 || bits > 8) return false;
            built.ByteSize = static_cast<uint8_t>(bits);
        } else if (key == "stop") {
            if (value == "1")
                built.StopBits = 0;
            else if (value == "1.5")
                built.StopBits = 1;
            else if (value == "2")
                built.StopBits = 2;
            else
                return false;
        } else {
            return false;
        }
    }
    built.DCBlength = 28;
    dcb = built;
    return true;
}

// ---- modal seams ----------------------------------------------------------------------

namespace {

SerDialogs::ModalRunner& Runner() {
    static SerDialogs::ModalRunner runner;
    return runner;
}

SerDialogs::CommConfigDialogFn& ConfigDialog() {
    static SerDialogs::CommConfigDialogFn dialog;
    return dialog;
}

bool RunFormSerStd(const QByteArray& name, QWidget* owner, TCommConfig& config) {
    TFormSerStd form(owner);
    form.Load(name, config.dcb);
    if (SerDialogs::RunModal(form) != QDialog::Accepted) return false;
    form.Store(config.dcb);
    return true;
}

}  // namespace

void SerDialogs::InstallModalRunner(ModalRunner runner) { Runner() = std::move(runner); }

int SerDialogs::RunModal(QDialog& dialog) {
    if (Runner()) return Runner()(dialog);
    return dialog.exec();
}

void SerDialogs::InstallCommConfigDialog(CommConfigDialogFn dialog) {
    ConfigDialog() = std::move(dialog);
}

bool CommConfigDialog(const QByteArray& name, QWidget* owner, TCommConfig& config) {
    if (ConfigDialog()) return ConfigDialog()(name, owner, config);
    return RunFormSerStd(name, owner, config);
}

// ---- TFormSerStd ----------------------------------------------------------------------

namespace {

enum FlowItem { FlowXOnXOff = 0, FlowHardware = 1, FlowNone = 2 };

}  // namespace

namespace {

// The settings the parameter dialog offers and hands back, each at the rate the rate table
// holds for it; br_000050 and br_000150 are not among them.
constexpr TBaudrate kTakeBackRates[] = {
    br_000110, br_000300, br_000600, br_001200, br_002400, br_004800,
    br_009600, br_014400, br_019200, br_038400, br_056000, br_057600,
    br_115200, br_128000, br_230400, br_256000, br_460800, br_921600,
};

// The setting that runs the port at rate, false when none of them does.
bool TakeBackRateValue(uint32_t rate, TBaudrate& value) {
    for (const TBaudrate setting : kTakeBackRates) {
        if (BaudRateTable[setting] == rate) {
            value = setting;
            return true;
        }
    }
    return false;
}

}  // namespace

QList<uint32_t> TFormSerStd::StandardRates() {
    // Each setting is offered at the rate it runs the port at: where the start-up redefined
    // 9600 as 1248, 1248 stands in its place, so the choice exists and no rate is shown that
    // the port would not run at.
    QList<uint32_t> rates;
    for (const TBaudrate setting : kTakeBackRates)
        if (!rates.contains(BaudRateTable[setting])) rates.append(BaudRateTable[setting]);
    return rates;
}

TFormSerStd::TFormSerStd(QWidget* parent) : QDialog(parent), ui(new Ui::TFormSerStd) {
    ui->setupUi(this);
    for (int bits = 4; bits <= 8; ++bits) ui->ComboBoxDataBits->addItem(QString::number(bits));
    for (const char* name : {"Keine", "Ungerade", "Gerade", "Markierung", "Leerzeichen"})
        ui->ComboBoxParity->addItem(Ansi::ToQString(Ansi::Lit(name)));
    for (const char* name : {"1", "1,5", "2"}) ui->ComboBoxStopBits->addItem(name);
    for (const char* name : {"Xon / Xoff", "Hardware", "Keine"}) ui->ComboBoxFlow->addItem(name);
    connect(ui->ButtonOk, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->ButtonCancel, &QPushButton::clicked, this, &QDialog::reject);
}

TFormSerStd::~TFormSerStd() { delete ui; }

void TFormSerStd::Load(const QByteArray& portName, const TDcb& dcb) {
    setWindowTitle(Ansi::ToQString(Ansi::Lit("Eigenschaften von ") + portName));

    // A rate outside the list (50, 150) is shown as it is, before the first higher one, so
    // that OK without a change hands it back unchanged.
    QList<uint32_t> rates = StandardRates();
    if (!rates.contains(dcb.BaudRate) && dcb.BaudRate != 0) {
        qsizetype at = 0;
        while (at < rates.size() && rates[at] < dcb.BaudRate) ++at;
        rates.insert(at, dcb.BaudRate);
    }
    ui->ComboBoxBaud->clear();
    for (uint32_t rate : rates) ui->ComboBoxBaud->addItem(QString::number(rate), rate);
    const int rateIndex = ui->ComboBoxBaud->findData(dcb.BaudRate);
    const int fallback = ui->ComboBoxBaud->findData(9600u);
    ui->ComboBoxBaud->setCurrentIndex(rateIndex >= 0 ? rateIndex : std::max(fallback, 0));

    ui->ComboBoxDataBits->setCurrentIndex(dcb.ByteSize >= 4 && dcb.ByteSize <= 8 ? dcb.ByteSize - 4
                                                                                 : 4);
    ui->ComboBoxParity->setCurrentIndex(dcb.Parity <= 4 ? dcb.Parity : 0);
    ui->ComboBoxStopBits->setCurrentIndex(dcb.StopBits <= 2 ? dcb.StopBits : 0);

    if (GetDcbFlag(dcb, fRtsControl) == RTS_CONTROL_HANDSHAKE || GetDcbFlag(dcb, fOutxCtsFlow))
        ui->ComboBoxFlow->setCurrentIndex(FlowHardware);
    else if (GetDcbFlag(dcb, fOutX) || GetDcbFlag(dcb, fInX))
        ui->ComboBoxFlow->setCurrentIndex(FlowXOnXOff);
    else
        ui->ComboBoxFlow->setCurrentIndex(FlowNone);
    FLoadedFlow = ui->ComboBoxFlow->currentIndex();
}

void TFormSerStd::Store(TDcb& dcb) const {
    dcb.BaudRate = ui->ComboBoxBaud->currentData().toUInt();
    dcb.ByteSize = static_cast<uint8_t>(ui->ComboBoxDataBits->currentIndex() + 4);
    dcb.Parity = static_cast<uint8_t>(ui->ComboBoxParity->currentIndex());
    SetDcbFlag(dcb, fParity, dcb.Parity != 0);
    dcb.StopBits = static_cast<uint8_t>(ui->ComboBoxStopBits->currentIndex());

    // One choice cannot hold RTS/CTS and XOn/XOff together; an untouched choice keeps both.
    const int flow = ui->ComboBoxFlow->currentIndex();
    if (flow == FLoadedFlow) return;
    const bool hardware = flow == FlowHardware;
    const bool software = flow == FlowXOnXOff;
    SetDcbFlag(dcb, fOutxCtsFlow, hardware);
    SetDcbFlag(dcb, fRtsControl, hardware ? RTS_CONTROL_HANDSHAKE : 0);
    SetDcbFlag(dcb, fOutX, software);
    SetDcbFlag(dcb, fInX, software);
}

// ---- TSerStdDlg -----------------------------------------------------------------------

TSerStdDlg::TSerStdDlg(QObject* owner) : QObject(owner) {
    ProbePorts(4);
    BuildCommDcb("baud=9600 parity=N data=8 stop=1", FCommConfig.dcb);
}

void TSerStdDlg::SetSerial(TSerial* serial) {
    if (FSerial == serial) return;
    if (FSerial) disconnect(FSerial, nullptr, this, nullptr);
    FSerial = serial;
    // Forget a component that goes away, so Execute never touches a dead one.
    if (FSerial)
        connect(FSerial, &QObject::destroyed, this,
                [this](QObject* gone) { Notification(gone, opRemove); });
}

void TSerStdDlg::Notification(QObject* component, TOperation operation) {
    if (operation == opRemove && component == static_cast<QObject*>(FSerial)) FSerial = nullptr;
}

void LoadDcbFormat(TDcb& dcb, const TSerial& serial) {
    dcb.BaudRate = BaudRateTable[serial.Baudrate()];
    dcb.ByteSize = static_cast<uint8_t>(serial.DataBits() + 4);
    dcb.Parity = static_cast<uint8_t>(serial.ParityBit());
    SetDcbFlag(dcb, fParity, serial.ParityBit() != TParityBit::none);
    dcb.StopBits = static_cast<uint8_t>(serial.StopBits());
}

bool TSerStdDlg::Execute() {
    const QByteArray name = "COM" + QByteArray::number(FSerial ? FSerial->COMPort() : 1);
    TDcb& dcb = FCommConfig.dcb;

    if (FSerial) {
        LoadDcbFormat(dcb, *FSerial);
        // The flow bits mirror the component, set or cleared: a stale bit from an earlier
        // call would show up in the dialog and come back as a handshake nobody chose.
        const bool rtsCts = FSerial->HandshakeRtsCts();
        const bool xOnXOff = FSerial->HandshakeXOnXOff();
        SetDcbFlag(dcb, fOutxCtsFlow, rtsCts);
        SetDcbFlag(dcb, fRtsControl, rtsCts ? RTS_CONTROL_HANDSHAKE : 0);
        SetDcbFlag(dcb, fOutX, xOnXOff);
        SetDcbFlag(dcb, fInX, xOnXOff);
    }

    TCommConfig edited = FCommConfig;
    if (!CommConfigDialog(name, nullptr, edited)) return false;
    FCommConfig = edited;

    if (FSerial) {
        // The rate shown is the rate the port runs at; one no setting runs at (50, 150, 9600
        // where the table holds 1248 there) leaves the setting unchanged.
        if (TBaudrate value; TakeBackRateValue(dcb.BaudRate, value)) FSerial->SetBaudrate(value);
        // A field outside its enumeration leaves the setting as it is.
        if (dcb.ByteSize >= 4 && dcb.ByteSize <= 8)
            FSerial->SetDataBits(static_cast<TDataBits>(dcb.ByteSize - 4));
        if (dcb.Parity <= 4) FSerial->SetParityBit(static_cast<TParityBit>(dcb.Parity));
        if (dcb.StopBits <= 2) FSerial->SetStopBits(static_cast<TStopBits>(dcb.StopBits));
        FSerial->SetHandshakeRtsCts(GetDcbFlag(dcb, fRtsControl) != 0);
        FSerial->SetHandshakeXOnXOff(GetDcbFlag(dcb, fOutX) != 0);
    }
    return true;
}
