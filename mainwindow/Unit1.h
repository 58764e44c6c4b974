#pragma once
// The main window: every control of the transfer server and its menus. It drives the
// transfer engine (TTransferEngine) and shows what the engine reports: it is the engine's
// view. The run state and the steps of receiving, sending, saving and logging live in the
// engine; the window keeps what only a window has (dialogs, memos, the mode buttons).
//
// Handlers live in several files, one per subject:
//   Unit1.cpp         start-up, connection, line signals, help, about, exit, port choice,
//                     saved serial settings, menu wiring
//   Unit1View.cpp     the engine's view: memos, status text, banner, progress
//   Unit1Manual.cpp   manual sending, transfer control, the "Check" menu
//   Unit1Dialogs.cpp  Menu_ParameterClick, Menu_ExtParameterClick
#include <QByteArray>
#include <QList>
#include <QMainWindow>
#include <atomic>
#include <memory>

#include "common/Modal.h"
#include "engine/TransferEngine.h"
#include "engine/TransferView.h"
#include "status/StatusPublisher.h"
#include "ui_Unit1.h"

class QLabel;
class QKeyEvent;
class QProgressBar;
class QTimer;
class TMemoFeed;
class TSerial;
class TSerSel;
class TSerStdDlg;
class TSerExtDlg;
class TKonfiguration;

class QAbstractButton;

class TForm1 : public QMainWindow, public Ui::TForm1, public TTransferView {
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

    // The engine reports through the publisher, which passes every call on to this window
    // and tells the instance's socket (for the web page) what changed.
    std::unique_ptr<TStatusPublisher> Publisher;
    // The transfer engine with the run state; this window is its view.
    std::unique_ptr<TTransferEngine> Engine;
    // Opens the instance's socket in the working folder (the program's start does).
    void PublishStatus();

    // The open dialogs only the window uses; filters in Qt form (see Modal::DialogFilter).
    // OpenDialogCnc and OpenDialogSave are the engine's.
    Modal::FileDialog OpenDialogIni;
    Modal::FileDialog OpenDialogLogBox;

    bool SignalToggle = false;  // shared by the CTS and DSR buttons
    // The port SerDemo.ini names, also when its device was not there (Serial1 then holds 0).
    int RequestedPort = 0;
    // Looks every second for the device of RequestedPort while it is missing.
    QTimer* PortWait = nullptr;
    QByteArray ViewFileName;  // the file "CNCFile" showed last

    // ---- start-up and connection -------------------------------------------------------
    void LadeParameter();
    // The port as the start left it, in the memo and the status bar.
    void ShowPortState();
    void Verbinde();
    void LadeBaud();
    // The device of the port the settings name is missing: no box, the window says which
    // and opens the port once the device is there. "Trennen" ends the waiting.
    void StartWaitingForPort();
    void WaitForPort();
    // Opens the port at start; when that fails, says why and tries again every second.
    void ConnectOrRetry();
    QByteArray WaitingText;  // what the window said while it waits for the port

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

    // ---- the test call ---------------------------------------------------------------------
    void ButtonTestClick();

    // ---- manual sending and transfer control (Unit1Manual.cpp) ---------------------------
    void CNCLoadClick();
    void PrgLoad();
    void ButtonSendBlockClick();
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

    // Every memo holds what waits for it (tests look at the memos after this).
    void FlushMemos();

    // ---- the engine's view (Unit1View.cpp) ----------------------------------------------
    void Trace(const QByteArray& line) override;
    void ClearTrace() override;
    void ShowTrace() override;
    void Received(const QByteArray& bytes) override;
    void ReceivedNote(const QByteArray& line) override;
    void Status(const QByteArray& text) override { SetStatusText(text); }
    void Banner(const QByteArray& text, TBanner how) override;
    void ProgramLoaded(const TSendTable& table, TProgramShown how) override;
    void LinesSent(const TSendTable& table, int first, int last, TSendKind kind) override;
    void SendProgress(const TSendProgress& progress) override;
    void LineSignal(TLineSignal signal) override;
    void DeviceLost(int port) override;
    void PortReopened(int port) override;
    void Cleared() override;
    void SaveFolderShown(const QByteArray& folder) override;
    QWidget* DialogParent() override { return this; }

    QProgressBar* SendBar = nullptr;  // in the status bar while a send runs
    QLabel* SendTimeLabel = nullptr;

    // Where the help file is looked for: next to the executable, in the installed share
    // folder, then the built-in copy.
    static QString HelpFilePath();

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

  private:
    void BindControls();
    void SetConnectedControls(bool connected);
    // Caption, status text and enabled controls of the connected or disconnected state.
    void ShowConnection(bool active);
    void ShowWaiting(const QByteArray& text);
    void LoadSerialSettings();  // Menu_LoadClick, and LadeBaud after its guard
    QByteArray OpenErrorText() const;

    TMemoFeed* FeedFile = nullptr;  // MemoFile
    TMemoFeed* FeedRec = nullptr;   // MemoRec
    TMemoFeed* FeedTrm = nullptr;   // MemoTrm
};

// The one main window of the program (created by the main program).
extern TForm1* Form1;
