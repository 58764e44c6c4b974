#include "serialdialogs/SerExtDlg.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QToolButton>
#include <algorithm>
#include <bit>
#include <memory>

#include "common/Ansi.h"
#include "serial/PortError.h"
#include "serial/Serial.h"
#include "serialdialogs/SerAddons.h"
#include "ui_COMSetup.h"

// ---- TUpDown --------------------------------------------------------------------------

TUpDown::TUpDown(QWidget* parent)
    : QWidget(parent), FUp(new QToolButton(this)), FDown(new QToolButton(this)) {
    setFocusPolicy(Qt::StrongFocus);
    for (QToolButton* button : {FUp, FDown}) {
        button->setFocusPolicy(Qt::NoFocus);
        button->setAutoRepeat(true);
    }
    FUp->setArrowType(Qt::UpArrow);
    FDown->setArrowType(Qt::DownArrow);
    connect(FUp, &QToolButton::clicked, this, &TUpDown::StepUp);
    connect(FDown, &QToolButton::clicked, this, &TUpDown::StepDown);
}

void TUpDown::SetMin(int v) {
    FMin = v;
    if (FMax < FMin) FMax = FMin;
    SetPosition(FPosition);
}

void TUpDown::SetMax(int v) {
    FMax = v;
    if (FMin > FMax) FMin = FMax;
    SetPosition(FPosition);
}

void TUpDown::SetPosition(int v) { FPosition = std::clamp(v, FMin, FMax); }

void TUpDown::Step(int delta) {
    const int next = std::clamp(FPosition + delta, FMin, FMax);
    if (next == FPosition) return;  // at the end of the range: no wrap, nothing to report
    FPosition = next;
    emit Click(delta > 0);
}

void TUpDown::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Up)
        StepUp();
    else if (event->key() == Qt::Key_Down)
        StepDown();
    else
        QWidget::keyPressEvent(event);
}

void TUpDown::resizeEvent(QResizeEvent*) {
    const int half = height() / 2;
    FUp->setGeometry(0, 0, width(), half);
    FDown->setGeometry(0, half, width(), height() - half);
}

// ---- TFormCOMSetup --------------------------------------------------------------------

TFormCOMSetup::TFormCOMSetup(QWidget* parent) : QDialog(parent), ui(new Ui::TFormCOMSetup) {
    ui->setupUi(this);
    connect(ui->ButtonOk, &QPushButton::clicked, this, [this] {
        ButtonOkClick();
        accept();
    });
    connect(ui->ButtonAbort, &QPushButton::clicked, this, [this] {
        ButtonAbortClick();
        reject();
    });
    connect(ui->UpDown1, &TUpDown::Click, this, &TFormCOMSetup::UpDown1Click);
    connect(ui->UpDown2, &TUpDown::Click, this, &TFormCOMSetup::UpDown2Click);
    // The kernel has no DSR flow control: the choice is shown, but not offered as working.
    ui->CheckBoxDTRDSR->setEnabled(false);
    ui->LabelDTRDSR->setText(Ansi::ToQString(PortError::DtrDsrUnavailableText()));
    QFont small = ui->LabelDTRDSR->font();
    small.setPixelSize(9);
    ui->LabelDTRDSR->setFont(small);
    const QString tip = Ansi::ToQString(PortError::DtrDsrUnavailableTip());
    ui->CheckBoxDTRDSR->setToolTip(tip);
    ui->LabelDTRDSR->setToolTip(tip);
    FormCreate();
}

TFormCOMSetup::~TFormCOMSetup() { delete ui; }

void TFormCOMSetup::FormCreate() {
    ui->ComboBoxPort->clear();
    if (AnyPortExists) {
        for (int i = 0; i < 4; ++i)
            if (PortList[i] > 0) InsertPortItem(ui->ComboBoxPort, PortList[i]);
    }
    ui->ComboBoxPort->setCurrentIndex(0);
    PlaceForm(poDesigned, 0, 0);
}

int TFormCOMSetup::BufSizeExponent(qint32 size) {
    // Rounded down, so that "up" from a size between two powers goes to the next higher one.
    if (size <= 0) return 0;
    return std::bit_width(static_cast<quint32>(size)) - 1;
}

void TFormCOMSetup::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!event->spontaneous()) FormShow();
}

void TFormCOMSetup::FormShow() {
    FSaved.port = ui->ComboBoxPort->currentIndex();
    FSaved.baud = ui->ComboBoxBaudrate->currentIndex();
    FSaved.dataBits = ui->ComboBoxDatabit->currentIndex();
    FSaved.parity = ui->ComboBoxParity->currentIndex();
    FSaved.stop = ui->ComboBoxStop->currentIndex();
    FSaved.rtsCts = ui->CheckBoxRTSCTS->isChecked();
    FSaved.dtrDsr = ui->CheckBoxDTRDSR->isChecked();
    FSaved.soft = ui->CheckBoxSoft->isChecked();
    FSaved.recBufSize = RecBufSize;
    FSaved.trmBufSize = TrmBufSize;

    ui->ComboBoxPort->setCurrentIndex(std::max(PortItemIndex(ui->ComboBoxPort, Port), 0));

    ui->ComboBoxBaudrate->clear();
    for (int i = 0; i < BaudRateCount; ++i)
        ui->ComboBoxBaudrate->addItem(QString::number(BaudRateTable[i]));
    const quint32* rate = std::find(BaudRateTable, BaudRateTable + BaudRateCount, Dcb.BaudRate);
    ui->ComboBoxBaudrate->setCurrentIndex(
        rate != BaudRateTable + BaudRateCount ? int(rate - BaudRateTable) : br_009600);

    ui->ComboBoxDatabit->clear();
    for (const char* bits : {"4", "5", "6", "7", "8"}) ui->ComboBoxDatabit->addItem(bits);
    ui->ComboBoxDatabit->setCurrentIndex(Dcb.ByteSize - 4);

    ui->ComboBoxParity->clear();
    for (const char* name : ParityNames) ui->ComboBoxParity->addItem(name);
    ui->ComboBoxParity->setCurrentIndex(Dcb.Parity);

    ui->ComboBoxStop->clear();
    for (const char* name : StopBitNames) ui->ComboBoxStop->addItem(name);
    ui->ComboBoxStop->setCurrentIndex(Dcb.StopBits);

    ui->CheckBoxRTSCTS->setChecked(GetDcbFlag(Dcb, fRtsControl) != 0 ||
                                   GetDcbFlag(Dcb, fOutxCtsFlow) != 0);
    // Never ticked: the port would run without it, so OK takes it off.
    ui->CheckBoxDTRDSR->setChecked(false);
    ui->CheckBoxSoft->setChecked(GetDcbFlag(Dcb, fOutX) != 0 || GetDcbFlag(Dcb, fInX) != 0);

    ui->EditBufR->setText(QString::number(RecBufSize));
    ui->UpDown1->SetPosition(BufSizeExponent(RecBufSize));
    ui->EditBufT->setText(QString::number(TrmBufSize));
    ui->UpDown2->SetPosition(BufSizeExponent(TrmBufSize));
}

void TFormCOMSetup::UpDown1Click() {
    RecBufSize = qint32(1) << ui->UpDown1->Position();
    ui->EditBufR->setText(QString::number(RecBufSize));
}

void TFormCOMSetup::UpDown2Click() {
    TrmBufSize = qint32(1) << ui->UpDown2->Position();
    ui->EditBufT->setText(QString::number(TrmBufSize));
}

void TFormCOMSetup::ButtonOkClick() {
    Port = ItemPort(ui->ComboBoxPort, ui->ComboBoxPort->currentIndex());

    // A list without a selection leaves its field as it was.
    const int baud = ui->ComboBoxBaudrate->currentIndex();
    if (baud >= 0 && baud < BaudRateCount) Dcb.BaudRate = BaudRateTable[baud];
    const int dataBits = ui->ComboBoxDatabit->currentIndex();
    if (dataBits >= 0) Dcb.ByteSize = static_cast<quint8>(dataBits + 4);
    const int parity = ui->ComboBoxParity->currentIndex();
    if (parity >= 0) Dcb.Parity = static_cast<quint8>(parity);
    const int stop = ui->ComboBoxStop->currentIndex();
    if (stop >= 0) Dcb.StopBits = static_cast<quint8>(stop);

    const bool rtsCts = ui->CheckBoxRTSCTS->isChecked();
    const bool soft = ui->CheckBoxSoft->isChecked();
    Dcb.Flags = 1u << fBinary;
    SetDcbFlag(Dcb, fParity, Dcb.Parity > 0);
    SetDcbFlag(Dcb, fOutxCtsFlow, rtsCts);
    // fOutxDsrFlow and fDtrControl stay 0: DTR/DSR is not offered, the port would run
    // without it.
    SetDcbFlag(Dcb, fOutX, soft);
    SetDcbFlag(Dcb, fInX, soft);
    SetDcbFlag(Dcb, fRtsControl, rtsCts ? RTS_CONTROL_HANDSHAKE : 0);
    Dcb.XonChar = 17;
    Dcb.XoffChar = 19;

    // The edits are read-only and only ever hold numbers this form wrote.
    RecBufSize = ui->EditBufR->text().toInt();
    TrmBufSize = ui->EditBufT->text().toInt();
}

void TFormCOMSetup::ButtonAbortClick() {
    ui->ComboBoxPort->setCurrentIndex(FSaved.port);
    ui->ComboBoxBaudrate->setCurrentIndex(FSaved.baud);
    ui->ComboBoxDatabit->setCurrentIndex(FSaved.dataBits);
    ui->ComboBoxParity->setCurrentIndex(FSaved.parity);
    ui->ComboBoxStop->setCurrentIndex(FSaved.stop);
    ui->CheckBoxRTSCTS->setChecked(FSaved.rtsCts);
    ui->CheckBoxDTRDSR->setChecked(FSaved.dtrDsr);
    ui->CheckBoxSoft->setChecked(FSaved.soft);
    RecBufSize = FSaved.recBufSize;
    TrmBufSize = FSaved.trmBufSize;
    ui->EditBufR->setText(QString::number(RecBufSize));
    ui->EditBufT->setText(QString::number(TrmBufSize));
}

void TFormCOMSetup::PlaceForm(TPosition position, int left, int top) {
    switch (position) {
        case poDesigned:
            move(left, top);
            break;
        case poScreenCenter:
        case poDesktopCenter:
        case poMainFormCenter:
        case poOwnerFormCenter: {
            const QWidget* owner = parentWidget() ? parentWidget()->window() : nullptr;
            const bool onOwner =
                owner && (position == poMainFormCenter || position == poOwnerFormCenter);
            QScreen* screen = owner ? owner->screen() : QGuiApplication::primaryScreen();
            const QRect area =
                onOwner ? owner->frameGeometry() : (screen ? screen->availableGeometry() : QRect());
            if (area.isValid()) move(area.center() - rect().center());
            break;
        }
        default:
            break;  // left to the window manager
    }
}

bool TFormCOMSetup::Execute(TCOMSetupParams& params) {
    // An existing port is shown as it is, added to the list when it is not among the first
    // four: what the dialog shows is what OK applies. Any other port outside 1..4 is shown as
    // port 1 (the first item when COM1 is not listed), and OK applies what is shown.
    const bool exists = params.Port >= 1 && params.Port <= MaxPort && PortExists[params.Port];
    if (exists)
        InsertPortItem(ui->ComboBoxPort, params.Port);
    else if (params.Port < 1 || params.Port > 4)
        params.Port = 1;
    Port = params.Port;
    Dcb = params.Dcb;
    RecBufSize = params.RecBufSize;
    TrmBufSize = params.TrmBufSize;
    if (params.Parent) setParent(params.Parent, windowFlags());
    PlaceForm(params.Position, params.Left, params.Top);

    if (SerDialogs::RunModal(*this) != QDialog::Accepted) return false;
    params.Port = Port;
    params.Dcb = Dcb;
    params.RecBufSize = RecBufSize;
    params.TrmBufSize = TrmBufSize;
    return true;
}

// ---- TSerExtDlg -----------------------------------------------------------------------

TSerExtDlg::TSerExtDlg(QObject* owner) : QObject(owner) {
    EnsurePortsProbed(4);
    BuildCommDcb("baud=9600 parity=N data=8 stop=1", FDcb);
}

void TSerExtDlg::SetSerial(TSerial* serial) {
    if (FSerial == serial) return;
    if (FSerial) disconnect(FSerial, nullptr, this, nullptr);
    FSerial = serial;
    // A destroyed component is forgotten, never written to.
    if (FSerial)
        connect(FSerial, &QObject::destroyed, this, [this](QObject* gone) {
            if (gone == static_cast<QObject*>(FSerial)) FSerial = nullptr;
        });
}

bool TSerExtDlg::Execute() {
    TCOMSetupParams params;
    if (FSerial) {
        params.Port = FSerial->COMPort();
        LoadDcbFormat(FDcb, *FSerial);
        const bool rtsCts = FSerial->HandshakeRtsCts();
        const bool dtrDsr = FSerial->HandshakeDtrDsr();
        const bool soft = FSerial->HandshakeXOnXOff();
        SetDcbFlag(FDcb, fOutxCtsFlow, rtsCts);
        SetDcbFlag(FDcb, fRtsControl, rtsCts ? RTS_CONTROL_HANDSHAKE : 0);
        SetDcbFlag(FDcb, fOutxDsrFlow, dtrDsr);
        SetDcbFlag(FDcb, fDtrControl, dtrDsr ? DTR_CONTROL_HANDSHAKE : 0);
        SetDcbFlag(FDcb, fOutX, soft);
        SetDcbFlag(FDcb, fInX, soft);
        params.RecBufSize = FSerial->BufSizeRec();
        params.TrmBufSize = FSerial->BufSizeTrm();
    } else {
        params.Port = 1;
        params.RecBufSize = 2048;
        params.TrmBufSize = 2048;
    }
    params.Dcb = FDcb;
    params.Position = PositionDlg;
    params.Left = LeftDlg;
    params.Top = TopDlg;
    // A form that is itself inside another window hands that window on; a top-level one none.
    auto* ownerForm = qobject_cast<QWidget*>(parent());
    params.Parent = ownerForm && ownerForm->isWindow() ? ownerForm->parentWidget() : nullptr;

    bool accepted = false;
    {
        auto form = std::make_unique<TFormCOMSetup>();
        accepted = form->Execute(params);
    }
    if (!accepted) return false;
    if (!FSerial) return true;

    FSerial->SetCOMPort(params.Port);
    FDcb = params.Dcb;
    for (int i = 0; i < BaudRateCount; ++i) {
        if (BaudRateTable[i] == FDcb.BaudRate) {
            FSerial->SetBaudrate(static_cast<TBaudrate>(i));
            break;
        }
    }
    if (FDcb.ByteSize >= 4 && FDcb.ByteSize <= 8)
        FSerial->SetDataBits(static_cast<TDataBits>(FDcb.ByteSize - 4));
    if (FDcb.Parity <= 4) FSerial->SetParityBit(static_cast<TParityBit>(FDcb.Parity));
    if (FDcb.StopBits <= 2) FSerial->SetStopBits(static_cast<TStopBits>(FDcb.StopBits));
    FSerial->SetHandshakeRtsCts(GetDcbFlag(FDcb, fOutxCtsFlow) != 0);
    FSerial->SetHandshakeDtrDsr(GetDcbFlag(FDcb, fOutxDsrFlow) != 0);
    FSerial->SetHandshakeXOnXOff(GetDcbFlag(FDcb, fInX) != 0);
    FSerial->SetBufSizeRec(params.RecBufSize);
    FSerial->SetBufSizeTrm(params.TrmBufSize);
    return true;
}
