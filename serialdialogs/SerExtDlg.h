#pragma once
// The extended port settings dialog: port, format, handshake and buffer sizes in one form
// (TFormCOMSetup), run by the non-visual TSerExtDlg on behalf of a TSerial.
#include <QDialog>
#include <QObject>
#include <QWidget>

#include "serialdialogs/SerStdDlg.h"

class TSerial;
class QToolButton;
namespace Ui {
class TFormCOMSetup;
}

// Where a dialog appears, as the form designer names the choices.
enum TPosition {
    poDesigned,
    poDefault,
    poDefaultPosOnly,
    poDefaultSizeOnly,
    poScreenCenter,
    poDesktopCenter,
    poMainFormCenter,
    poOwnerFormCenter
};

// An up-down control on its own: two arrow buttons that step Position between Min and Max
// (no wrap) and report each step by Click. It is not tied to any edit.
class TUpDown : public QWidget {
    Q_OBJECT
    Q_PROPERTY(int Min READ Min WRITE SetMin)
    Q_PROPERTY(int Max READ Max WRITE SetMax)
    Q_PROPERTY(int Position READ Position WRITE SetPosition)
  public:
    explicit TUpDown(QWidget* parent = nullptr);

    int Min() const { return FMin; }
    void SetMin(int v);
    int Max() const { return FMax; }
    void SetMax(int v);
    int Position() const { return FPosition; }
    void SetPosition(int v);  // clamped to Min..Max, no Click

    void StepUp() { Step(+1); }
    void StepDown() { Step(-1); }

    QToolButton* ButtonUp() const { return FUp; }
    QToolButton* ButtonDown() const { return FDown; }

  signals:
    void Click(bool up);

  protected:
    void keyPressEvent(QKeyEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

  private:
    void Step(int delta);

    int FMin = 4;
    int FMax = 20;
    int FPosition = 11;
    QToolButton* FUp;
    QToolButton* FDown;
};

// Handed from TSerExtDlg to TFormCOMSetup and back.
struct TCOMSetupParams {
    qint32 Port = 1;
    TDcb Dcb;
    qint32 RecBufSize = 2048;
    qint32 TrmBufSize = 2048;
    TPosition Position = poDesigned;
    int Left = 0;
    int Top = 0;
    QWidget* Parent = nullptr;
};

class TFormCOMSetup : public QDialog {
    Q_OBJECT
  public:
    explicit TFormCOMSetup(QWidget* parent = nullptr);
    ~TFormCOMSetup() override;

    bool Execute(TCOMSetupParams& params);

    Ui::TFormCOMSetup* ui;

    qint32 Port = 1;
    TDcb Dcb;
    qint32 RecBufSize = 2048;
    qint32 TrmBufSize = 2048;

    void FormCreate();
    void FormShow();
    void ButtonOkClick();
    void ButtonAbortClick();
    void UpDown1Click();
    void UpDown2Click();

    // Up-down position for a buffer size: its base-2 logarithm, rounded down.
    static int BufSizeExponent(qint32 size);

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void PlaceForm(TPosition position, int left, int top);

    // Control states at FormShow, restored by ButtonAbortClick.
    struct Saved {
        int port = -1, baud = -1, dataBits = -1, parity = -1, stop = -1;
        bool rtsCts = false, dtrDsr = false, soft = false;
        qint32 recBufSize = 2048, trmBufSize = 2048;
    } FSaved;
};

class TSerExtDlg : public QObject {
    Q_OBJECT
  public:
    explicit TSerExtDlg(QObject* owner = nullptr);

    TSerial* Serial() const { return FSerial; }
    void SetSerial(TSerial* serial);
    TPosition PositionDlg = poDesigned;
    int LeftDlg = 0;
    int TopDlg = 0;

    bool Execute();
    const TDcb& Dcb() const { return FDcb; }

  private:
    TSerial* FSerial = nullptr;
    TDcb FDcb;
};
