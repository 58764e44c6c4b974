#pragma once
// What the transfer engine reports, and where its questions are shown. The main window shows
// it in its memos, status bar and banner; the service writes it to standard error. Every
// call comes on the engine's thread; texts are the system's Windows-1252 byte strings.
#include <QByteArray>

class QWidget;
class TSendTable;

// How a loaded program is shown.
enum class TProgramShown {
    ForCall,    // loaded to answer a call or the test call: shown as read, then line by line
    ByHand,     // loaded by hand: the file as read
    SendByHand  // about to go out by hand: its lines after what the trace holds
};

// Whose lines went out: a called (or test) program is traced "Durchlauf k", a program
// sent by hand is shown as sent.
enum class TSendKind { Called, ByHand };

// How the banner changes.
enum class TBanner { AppendLine, Replace, ReplaceBlue };

enum class TLineSignal { Cts, Dsr };

// Where a running send stands.
struct TSendProgress {
    int Line = 0;   // lines gone out whole
    int Lines = 0;  // lines of the send
    qint64 Bytes = 0;
    qint64 TotalBytes = 0;
    int SecondsLeft = 0;   // at the port's bit rate and the dwell
    int StallSeconds = 0;  // > 0: the machine has taken nothing for that long
    bool Running = true;   // false: the send has ended (the last report)
};

class TTransferView {
  public:
    virtual ~TTransferView() = default;

    // The trace of every step (the window's MemoFile), one line each.
    virtual void Trace(const QByteArray& line) = 0;
    virtual void ClearTrace() = 0;
    virtual void ShowTrace() = 0;
    // Bytes as they came from the line (MemoRec), and a note below them.
    virtual void Received(const QByteArray& bytes) = 0;
    virtual void ReceivedNote(const QByteArray& line) = 0;
    // The one status text.
    virtual void Status(const QByteArray& text) = 0;
    // A status that only passes (a count of seconds while the machine takes nothing, and the
    // status before it again): shown like any, but a journal need not keep it.
    virtual void PassingStatus(const QByteArray& text) { Status(text); }
    // The banner of the current transfer (MemoInfo).
    virtual void Banner(const QByteArray& text, TBanner how) = 0;

    // A program was loaded into the send table (lines 1..Count()).
    virtual void ProgramLoaded(const TSendTable& table, TProgramShown how) = 0;
    // Lines first..last of the table went out whole.
    virtual void LinesSent(const TSendTable& table, int first, int last, TSendKind kind) = 0;
    virtual void SendProgress(const TSendProgress& progress) = 0;

    virtual void LineSignal(TLineSignal signal) = 0;
    // The device went away under the open port; the component has closed it and the
    // engine tries to open it again.
    virtual void DeviceLost(int port) = 0;
    // The port is open again after a loss (or after it could not be opened at start).
    virtual void PortReopened(int port) = 0;
    // Clear/Edit: the displays of a transfer are emptied.
    virtual void Cleared() = 0;
    // Saving shows the save folder in the options window.
    virtual void SaveFolderShown(const QByteArray& folder) = 0;
    // An entry is in the log file now (text, time stamp, CR LF).
    virtual void LogWritten(const QByteArray& /*entry*/) {}

    // Parent of the boxes and dialogs the engine shows through the modal seam (may be null).
    virtual QWidget* DialogParent() = 0;
};
