#pragma once
// The port parameter dialog: edits a COMMCONFIG-like record for one named port and, on OK,
// writes bit rate, format and handshake back into a TSerial. Linux has no system dialog
// for this, so TFormSerStd stands in for it.
#include <QByteArray>
#include <QDialog>
#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>

class TSerial;
class QWidget;
namespace Ui {
class TFormSerStd;
}

// The device-control block the dialogs work on, laid out like the Win32 one (28 bytes).
struct TDcb {
    uint32_t DCBlength = 28;
    uint32_t BaudRate = 0;
    uint32_t Flags = 0;
    uint16_t wReserved = 0;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    uint8_t ByteSize = 0;
    uint8_t Parity = 0;
    uint8_t StopBits = 0;
    char XonChar = 0;
    char XoffChar = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    uint16_t wReserved1 = 0;
};

// Bit positions of the flag fields; fDtrControl and fRtsControl are two bits wide.
enum TDcbFlag : int {
    fBinary = 0,
    fParity = 1,
    fOutxCtsFlow = 2,
    fOutxDsrFlow = 3,
    fDtrControl = 4,
    fOutX = 8,
    fInX = 9,
    fRtsControl = 12,
};
constexpr int DTR_CONTROL_HANDSHAKE = 2;
constexpr int RTS_CONTROL_HANDSHAKE = 2;

int GetDcbFlag(const TDcb& dcb, int position);
void SetDcbFlag(TDcb& dcb, int position, int value);

// Fills a DCB from a mode text such as "baud=9600 parity=N data=8 stop=1". Flow control
// ends up off and only fBinary set. False (DCB untouched) on a text it cannot read.
bool BuildCommDcb(const QByteArray& definition, TDcb& dcb);

// Loads the component's line format into a DCB: rate (from the rate table as it stands),
// data bits, parity with its check flag, stop bits. Flow control is left to the caller.
void LoadDcbFormat(TDcb& dcb, const TSerial& serial);

// The COMMCONFIG-like record the parameter dialog edits.
struct TCommConfig {
    uint32_t dwSize = 52;
    uint16_t wVersion = 1;
    uint16_t wReserved = 0;
    TDcb dcb;
    uint32_t dwProviderSubType = 0;
    uint32_t dwProviderOffset = 0;
    uint32_t dwProviderSize = 0;
    uint16_t wcProviderData = 0;
};

namespace SerDialogs {

// How the port dialogs run modally. The real runner is QDialog::exec(); tests install one
// that shows the dialog, works its controls and clicks a button.
using ModalRunner = std::function<int(QDialog&)>;
void InstallModalRunner(ModalRunner runner);  // empty restores exec()
int RunModal(QDialog& dialog);

// The port parameter dialog as a replaceable service (name, owner, record) -> accepted.
using CommConfigDialogFn = std::function<bool(const QByteArray&, QWidget*, TCommConfig&)>;
void InstallCommConfigDialog(CommConfigDialogFn dialog);  // empty restores TFormSerStd

}  // namespace SerDialogs

// Shows the port parameter dialog for `name`; on OK the record holds the user's choice.
// Cancel or closing the window returns false and leaves the record as it was.
bool CommConfigDialog(const QByteArray& name, QWidget* owner, TCommConfig& config);

// The dialog behind CommConfigDialog: bit rate, data bits, parity, stop bits, flow control.
class TFormSerStd : public QDialog {
    Q_OBJECT
  public:
    explicit TFormSerStd(QWidget* parent = nullptr);
    ~TFormSerStd() override;

    void Load(const QByteArray& portName, const TDcb& dcb);
    // Writes the controls into dcb; flag bits the dialog does not show stay as they are.
    void Store(TDcb& dcb) const;

    Ui::TFormSerStd* ui;

    // Bit rates offered: for each setting TSerStdDlg takes back, the rate the table holds.
    static QList<uint32_t> StandardRates();

  private:
    int FLoadedFlow = -1;
};

class TSerStdDlg : public QObject {
    Q_OBJECT
  public:
    enum TOperation { opInsert, opRemove };

    explicit TSerStdDlg(QObject* owner = nullptr);

    TSerial* Serial() const { return FSerial; }
    void SetSerial(TSerial* serial);

    bool Execute();
    const TCommConfig& CommConfig() const { return FCommConfig; }

  protected:
    void Notification(QObject* component, TOperation operation);

  private:
    TSerial* FSerial = nullptr;
    TCommConfig FCommConfig;
};
