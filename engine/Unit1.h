#pragma once
// The main window: every control of the transfer server, its menus, the run state that the
// receive, send, save, log and manual handlers share, and the start-up sequence.
//
// Handlers live in several files, one per subject:
//   Unit1.cpp         start-up, connection, line signals, help, about, exit, port choice,
//                     saved serial settings, serial event marshalling, menu wiring
//   LogFile.cpp       LogFile and the log time stamp
//   Unit1Receive.cpp  Serial1EventChar
//   Unit1Send.cpp     SendPrgLoad, AutoSendSerial, VerweilZeit, ButtonTestClick, TestCall*
//   Unit1Save.cpp     RevFileSave
//   Unit1Manual.cpp   manual sending, transfer control, the "Check" menu
//   Unit1Dialogs.cpp  Menu_ParameterClick, Menu_ExtParameterClick
//
// Threads: Serial1 reports OnRxChar, OnCts and OnDsr on its event thread. The window posts
// them to the GUI thread (one pending notification per kind) and runs the handlers there,
// one at a time: a notification that arrives while a serial handler runs, even inside
// processEvents or a modal box, is run after that handler returns.
#include <QByteArray>
#include <QList>
#include <QMainWindow>
#include <atomic>
#include <memory>

#include "common/Modal.h"
#include "ui_Unit1.h"

class QLabel;
class QKeyEvent;
class TSerial;
class TSerSel;
class TSerStdDlg;
class TSerExtDlg;
class TKonfiguration;

class QAbstractButton;

class TForm1 : public QMainWindow, public Ui::TForm1 {
    Q_OBJECT

  public:
    // Creates the window and runs LadeParameter, as the window's creation handler does.
    // Tests that want to drive start-up by hand pass runStartUp = false.
    explicit TForm1(QWidget* parent = nullptr, bool runStartUp = true);
    ~TForm1() override;

    // ---- non-visual components -------------------------------------------------------
    TSerial* Serial1 = nullptr;  // owned by the window
    TSerSel* SerSel1 = nullptr;
    TSerStdDlg* SerStdDlg1 = nullptr;
    TSerExtDlg* SerExtDlg1 = nullptr;
    std::unique_ptr<TKonfiguration> Konfiguration;  // the start-up configuration loader

    // The four open dialogs; filters in Qt form (see DialogFilter).
    Modal::FileDialog OpenDialogCnc;
    Modal::FileDialog OpenDialogIni;
    Modal::FileDialog OpenDialogSave;
    Modal::FileDialog OpenDialogLogBox;

    // ---- run state (all 0 or empty at creation; SetNull is the only reset) -------------
    int RxCount = 0;
    int TxCount = 0;
    int RxEvents = 0;
    int BaudLoaded = 0;
    QByteArray RxBuffer;
    QByteArray RxPrg;
    // An overlong transmission (no end word) goes on in "xxx.tmp" instead of RxBuffer.
    bool RxOverflow = false;

    QByteArray SendFileName;
    // Lines of the program loaded for sending at indices 1..SendCount-1; index 0 unused.
    // Grows as needed: a program of any length is sent whole.
    QList<QByteArray> SendLines;
    int SendIndex = 0;
    int SendCount = 0;
    QByteArray LogText;
    int SessionTotal = 0;
    int PrgCount = 0;
    bool SignalToggle = false;

    QByteArray LogFileName;
    QByteArray LoadFileName;
    QByteArray ViewFileName;

    // ---- start-up and connection -------------------------------------------------------
    void LadeParameter();
    void Verbinde();
    void LadeBaud();

    // ---- the status bar's one text ----------------------------------------------------
    void SetStatusText(const QByteArray& text);
    QByteArray StatusText() const;
    void SetStatusColor(const QColor& color);
    QLabel* StatusLabel = nullptr;  // the simple panel inside StatusBar1

    // ---- small helpers the handlers share ---------------------------------------------
    // Appends one line (Windows-1252) to a memo.
    static void AppendLine(QPlainTextEdit* memo, const QByteArray& line);
    // Colour of a memo's whole text or of a button's caption.
    static void SetTextColor(QWidget* widget, const QColor& color);
    void ToggleSignalButton(QAbstractButton* button);
    static QColor TextColor(const QWidget* widget);

    // ---- handlers: start-up, connection, signals, help, exit (this file's Part) -----------
    void ButtonConnectClick();
    void Menu_ExitClick();
    void Menu_PortClick();
    void Menu_AboutClick();
    void Hilfe1Click();
    void CTS();
    void DSR();
    void B_CTSClick();
    void B_DSRClick();

    // ---- saved serial settings ----------------------------------------------------------
    void Menu_SaveClick();
    void Menu_LoadClick();

    // ---- port settings dialogs (Unit1Dialogs.cpp) ----------------------------------------
    void CreatePortDialogs();  // SerStdDlg1 and SerExtDlg1, bound to Serial1
    void Menu_ParameterClick();
    void Menu_ExtParameterClick();

    // ---- options window --------------------------------------------------------------
    void ServerEinstellung1Click();

    // ---- log (LogFile.cpp) ----------------------------------------------------------------
    void LogFile();

    // ---- receive dispatcher (Unit1Receive.cpp) -------------------------------------------
    void Serial1EventChar();

    // ---- sending a called program (Unit1Send.cpp) ----------------------------------------
    bool SendPrgLoad();  // false when the file is missing (nothing may be sent then)
    void AutoSendSerial();
    void VerweilZeit();
    void ButtonTestClick();
    bool TestCallLoad();  // false when the test call file is missing (the test ends)
    void TestCallShow();

    // ---- saving a received program (Unit1Save.cpp) ---------------------------------------
    void RevFileSave();

    // ---- manual sending and transfer control (Unit1Manual.cpp) ---------------------------
    void CNCLoadClick();
    void PrgLoad();
    void ButtonSendBlockClick();
    void NCBlockSend();
    // Called for every character typed into MemoTrm (its Windows-1252 byte; Enter is 13).
    // Setting key to 0 swallows the key press; otherwise MemoTrm shows it as typed.
    void MemoTrmKeyPress(char& key);
    void ButtonTxClearClick();
    void ButtonRxClearClick();
    void RBAutoClick();
    void RBManuClick();
    void Button3Click();
    void SetNull();
    void MemoFileHide();

    // ---- the "Check" menu (Unit1Manual.cpp) ---------------------------------------------
    void LogFile1Click();
    void CNCFile1Click();
    void CNCLoadinEditor1Click();

    // ---- serial events ------------------------------------------------------------------
    // Lost: the device went away under the open port (reported on the GUI thread).
    enum class SerialEvent { RxChar, Cts, Dsr, Lost };
    static constexpr int kSerialEventKinds = 4;
    // Runs on the GUI thread: runs the handler of `kind` now, or after the serial handler
    // that is running returns. Tests call it to play a notification.
    void DeliverSerialEvent(SerialEvent kind);
    // True while a serial event handler runs.
    bool SerialHandlerRunning() const { return InSerialHandler; }
    // True while a notification of `kind` waits for the running handler to return.
    bool SerialEventPending(SerialEvent kind) const { return Deferred[int(kind)]; }

    // Where the help file is looked for: next to the executable, then the built-in copy.
    static QString HelpFilePath();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void BindControls();
    void BindSerialEvents();
    void PostSerialEvent(SerialEvent kind);  // any thread
    void RunSerialHandler(SerialEvent kind);
    void DeviceLost();
    void LoadSerialSettings();  // Menu_LoadClick, and LadeBaud after its guard
    void SetConnectedControls(bool connected);
    QByteArray OpenErrorText() const;

    // Set by the event thread, cleared on the GUI thread when the notification is taken.
    std::atomic<bool> Posted[kSerialEventKinds] = {false, false, false, false};
    bool Deferred[kSerialEventKinds] = {false, false, false, false};
    bool InSerialHandler = false;

    // Entries that arrive while LogFile waits for its missing-file box (LogFile.cpp).
    QList<QByteArray> LogQueue;
    bool InLogFile = false;
};

// The one main window of the program (created by the main program).
extern TForm1* Form1;

// "desc|pattern|desc|pattern" (the filter texts as the window gives them) to a Qt filter.
QString DialogFilter(const QByteArray& filter);
