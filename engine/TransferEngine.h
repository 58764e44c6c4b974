#pragma once
// The transfer engine: the run state of the server and the steps of receiving, sending on a
// call, saving, logging and sending by hand. It needs no window: it reports through a
// TTransferView and asks through the modal seam. The main window and the service drive the
// same engine.
//
// Files, one subject each:
//   TransferEngine.cpp  serial events, the rule of one handler at a time, Clear/Edit,
//                       aborting what the port holds
//   Receive.cpp         Serial1EventChar: reading into the framing (Framing.h), and taking
//                       the transmissions it ends in order
//   Dispatch.cpp        deciding on a transmission: a call is answered, a program saved
//   Incomplete.cpp      receptions that are not a whole program: overlong, incomplete, cut
//   Send.cpp            SendPrgLoad, AutoSendSerial and the test call
//   Save.cpp            RevFileSave and its name, a failed save, the start after a crash,
//                       folder checks
//   LogFile.cpp         LogFile
//   Manual.cpp          loading and sending by hand, typing onto the line
//   Reconnect.cpp       a lost device: said, logged, and opened again when it is back
//
// Threads: everything here runs on the engine's thread (the GUI thread, or the service's
// main thread). The serial component's event thread only posts to it; a send runs on a
// TSendJob thread that only writes to the port, and its progress is read here by a timer.
//
// One handler at a time: a receive event runs until it is done, across its dwell, its
// boxes and the send it starts; serial notifications that come meanwhile wait and run
// after it, in order. Reading never waits: while a decision waits for the operator in a box,
// and while a send runs, what arrives is read into the framing, and the transmissions it ends
// wait their turn (nothing is interleaved on the wire); only a complete call ends a send early
// (the control was reset). CTS and DSR are shown at once.
#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <atomic>
#include <deque>
#include <functional>
#include <map>
#include <memory>

#include "common/Modal.h"
#include "config/ConfigFile.h"
#include "engine/Framing.h"
#include "engine/SendJob.h"
#include "engine/SendTable.h"
#include "engine/TransferView.h"

class TSerial;

class TTransferEngine : public QObject {
    Q_OBJECT

  public:
    // Binds the serial component's OnRxChar, OnCts, OnDsr and OnDeviceLost (before the port
    // is opened: handlers are read at open). Neither is owned.
    TTransferEngine(TSerial* serial, TTransferView* view, QObject* parent = nullptr);
    ~TTransferEngine() override;

    TSerial* const Serial1;

    // ---- run state (0 or empty at creation; SetNull is the only reset) ----------------------
    int RxCount = 0;      // characters read in the current receive event
    int TxCount = 0;      // characters sent by hand since the last reset
    int RxEvents = 0;     // receive events since start or reset; above 0 each begins with a dwell
    int BaudLoaded = 0;   // 1 once the serial settings were loaded at start-up
    QByteArray RxBuffer;  // the transmission received so far (the framing's, after each read)
    QByteArray RxPrg;     // the text of the program received last
    // An overlong transmission (no end word) goes on in "xxx.tmp" instead of RxBuffer.
    bool RxOverflow = false;
    QByteArray SendFileName;  // the called program's file name
    int SendIndex = 0;
    int SendCount = 0;  // n + 1 after a program of n lines was loaded
    int SessionTotal = 0;
    int PrgCount = 0;
    QByteArray LogFileName;
    QByteArray LoadFileName;  // the program file loaded by hand

    // The program loaded for sending: lines 1..SendCount-1.
    const TSendTable& SendLines() const { return *SendTable; }

    // The open dialog of program files (loading by hand, and the missing-file path) and the
    // save dialog for a program without a "DFS," name.
    Modal::FileDialog OpenDialogCnc;
    Modal::FileDialog OpenDialogSave;

    // ---- receiving (Receive.cpp) --------------------------------------------------------------
    void Serial1EventChar(qint64 now);
    // A transmission has ended, or is about to, and waits only for its trailer time.
    bool ReceiveSettling() const { return Framing.Settling() || !Arrived.empty(); }

    // ---- sending on a call and the test call (Send.cpp) ----------------------------------------
    // false when the file is missing (nothing may be sent then)
    bool SendPrgLoad();
    // Starts writing lines 1..SendCount-1 with the dwell before each; done runs when the send
    // has ended (at once when there is nothing to send).
    void AutoSendSerial(TSendKind kind, std::function<void(TSendEnd, int linesSent)> done = {});
    // The dwell in ms from CfgTimer; a value that is not a whole number of 0 or more counts
    // as 0, and the trace says so once.
    int VerweilZeit();
    // The line end sent after each line (CfgLineEnd); CR LF when the value is unusable, which
    // the trace says once.
    QByteArray LineEnd();
    // "Send&Test": plays the test call file; autoMode loads the called program first.
    void ButtonTestClick(bool autoMode);
    bool TestCallLoad();  // false when the file is missing or names no program
    void TestCallShow();

    // ---- saving (Save.cpp) and the log (LogFile.cpp) ------------------------------------------
    void RevFileSave();
    // How received programs are named (CfgNames); by "DFS," only when the value is unusable,
    // which the trace says once.
    ConfigFile::TNaming Naming();
    // The name a received text gives itself: its "DFS," name; with Naming() Program, when it
    // has no usable one, the name in its header.
    struct TReceivedName {
        QByteArray Stem, Ext;   // Ext: its family's, or the configured one
        bool Named = false;     // it gives one (a "DFS," field, however empty, or a header)
        QByteArray Refused;     // why Stem cannot name a file (German); empty: it can
        bool ByHeader = false;  // the name in its header
        QByteArray DfsRefused;  // ...because its "DFS," name was refused: why
    };
    TReceivedName NameInText(const QByteArray& text);
    // The same when usable; otherwise an empty stem and the configured extension.
    TReceivedName ReceivedName(const QByteArray& text);
    // Appends the entry text with its time stamp. An entry that cannot be written is kept and goes
    // out, in order, before the next one; the trace says so, and the caller gets the error.
    void Log(const QByteArray& text);
    // The entries still waiting (for the end of a run that could not write them).
    QList<QByteArray> UnwrittenLogEntries() const;

    // ---- by hand (Manual.cpp) -----------------------------------------------------------------
    // Reads fileName (letter case as on Windows when the exact name is missing) into the send
    // table. Throws FileError when it cannot be read.
    void PrgLoad(const QByteArray& fileName);
    void NCBlockSend();
    // Sends one typed character (13: CR LF). False when refused (a transfer runs): the
    // character is then neither sent nor shown.
    bool MemoTrmKeyPress(char key);
    void ButtonTxClearClick();
    // "Abbruch Senden" from afar: the send's log entry ends with who instead of the reason
    // ("Web: anna").
    void AbortSendBy(const QByteArray& who);
    void ButtonRxClearClick();
    void SetNull();

    // ---- the one-handler rule ------------------------------------------------------------------
    enum class SerialEvent { RxChar, Cts, Dsr, Lost };
    static constexpr int kSerialEventKinds = 4;
    // Runs the handler of `kind` now, or when the running handler (or send) allows.
    void DeliverSerialEvent(SerialEvent kind);
    bool SerialHandlerRunning() const { return InHandler; }
    bool SerialEventPending(SerialEvent kind) const { return Deferred[int(kind)]; }
    bool Sending() const { return Job != nullptr; }
    // A receive event or a send is under way.
    bool Busy() const { return InHandler || Job != nullptr; }
    // True (and says why) when a manual operation must wait because a transfer runs.
    bool RefusedWhileBusy();

    // Ends a running send now (closing the program): aborts it, waits for it and reports
    // its end.
    void StopSend();

    // The engine's part of every start, once the serial settings, the port and Config.ini
    // are read: the temporaries a crash left go, the "Beginn" entry is written; then the
    // front's own lines (shown); last what the view should show last: a missing folder, a
    // save a crash cut. Each step says its own failure, and the start goes on.
    void Begin(const std::function<void()>& shown = {});

    // At start: removes what a crash in the middle of a save left in the save and working
    // folders (temporaries whose owner is gone), and says so.
    void RemoveLeftTemporaries();
    // At start, after the log's first entry: a save that a crash cut is finished. One that
    // completed without its log entry gets the entry; a program that was only in xxx.tmp is
    // kept in nicht-gespeichert. Both are said and logged.
    void RecoverLastSave();
    // At start, after "Data OK" and after Config.ini was read again: a save or send folder
    // that is missing or takes no file is said (trace and status).
    void CheckFolders();

    // A test stops the process at a point of a save ("before-rename", "after-rename"); the
    // service sets it from its environment.
    std::function<void(const char* point)> TestStop;

    // ---- a lost device (Reconnect.cpp) -----------------------------------------------------
    // The port could not be opened, or was lost: try to open the same port with the same
    // settings every second until it opens (no box waits for anybody meanwhile).
    void StartReconnect();
    // The operator's "Trennen": no more tries.
    void StopReconnect();
    bool Reconnecting() const { return ReconnectTimer.isActive(); }

  private:
    void BindSerialEvents();
    void PostSerialEvent(SerialEvent kind);  // any thread
    void Pump();
    void RunSerialHandler(SerialEvent kind);
    // A handler that goes on later (after a dwell) says so; its end pumps again.
    void HandlerGoesOn() { HandlerAsync = true; }
    void HandlerDone();
    void QueuePump();
    void SetStatus(const QByteArray& text);

    // The receive clock (ms), on which the framing and the event thread count.
    qint64 Now() const { return ReceiveClock.elapsed(); }
    void ArmFramingTimer();
    // A decision begins (it may wait for the operator in a box, while the port is read): bytes
    // announced before it are read as soon as it waits.
    void BeginDeciding();
    // A value of Config.ini that cannot be used is said once, until it changes.
    void SayUnusable(int slot, bool usable, const QByteArray& text);

    // Receive.cpp
    void ReadAndDecide(qint64 now);
    void ReadDuringSend(qint64 now);
    // A decision waits for the operator: the port is read, the decisions wait.
    void ReadWhileDeciding(qint64 now);
    qsizetype WaitingBytes() const;  // in the framing and in Arrived
    // Reads what waits into the framing and takes what it ends.
    void TakeFromLine(qint64 now, bool decisionsWait);
    void TakeEnded(TTransmission t, bool duringSend, bool decisionsWait);
    void DecideArrived();
    void ConfigureFraming();
    // The device was lost: the transmission under way is cut, what it has is kept.
    void ReceiveLost(qint64 now);
    void ReceiveResumed(qint64 now);  // the lost device is back
    // Runs a receive event when the pump next can (transmissions wait, or time passed).
    void ReceiveAgain();
    int QuietTimeMs();

    // Dispatch.cpp
    void Decide(TTransmission t);
    void Dispatch(const QByteArray& completed);
    void AnswerCall(const QByteArray& leading, const QByteArray& lengthText);
    void NewCallDuringSend();

    // Incomplete.cpp
    void SpillOverlong(const QByteArray& piece);
    void KeepIncomplete(const TTransmission& t);
    // A fresh file in "unvollstaendig/" named after text; throws FileError.
    QString KeepIncompleteBytes(const QByteArray& text, const QByteArray& bytes);
    void KeepCutHead();  // at the loss: what came so far

    // Save.cpp
    void KeepUnsaved(const QByteArray& pathText, const QByteArray& reason);
    void NoteSave(const QString& target, const QByteArray& logText);
    void ForgetSave();
    void StopForTest(const char* point);

    // Reconnect.cpp
    void PortLost();
    void TryReconnect();

    // Send.cpp
    void ReportMissingFile(const QStringList& alternatives);
    void SendTick();
    void SendFinished();
    void ReportProgress(bool running);
    void StallEnded();

    std::shared_ptr<const TSendTable> SendTable = std::make_shared<TSendTable>();
    QString SendPath;  // the file SendPrgLoad read (its letter case may differ)

    TTransferView* View;

    // The one-handler rule.
    std::atomic<bool> Posted[kSerialEventKinds] = {false, false, false, false};
    bool Deferred[kSerialEventKinds] = {false, false, false, false};
    bool InHandler = false;
    bool HandlerAsync = false;
    bool Pumping = false;
    bool PumpQueued = false;

    // Receiving.
    QTimer DwellTimer;
    TFraming Framing;
    QElapsedTimer ReceiveClock;
    // When the event thread last saw bytes come (on the receive clock; set on that thread),
    // and the time the framing was last fed.
    std::atomic<qint64> LastArrivalMs{-1};
    qint64 LastFeedMs = 0;
    QTimer FramingTimer;      // the framing's next deadline
    bool FramingDue = false;  // ...has passed: a receive event runs even without bytes
    // Ended transmissions that wait for their turn (the end of a send, or of the one before).
    std::deque<TTransmission> Arrived;
    QString CutFile;            // where the head of a transmission a lost device cut is kept
    int Deciding = 0;           // a decision runs (and may wait for the operator)
    bool ReadingAside = false;  // ...and the port is being read meanwhile
    bool LineHeldSaid = false;  // the receive limit held the line: said once
    // The unusable values said, by slot, until they change.
    std::map<int, QByteArray> UnusableSaid;

    // The test call file's number problem (empty: it names a program).
    QByteArray TestCallProblem;
    // The status text last set (a stall note shows over it for a while).
    QByteArray ShownStatus;

    // Sending.
    std::unique_ptr<TSendJob> Job;
    TSendKind JobKind = TSendKind::Called;
    std::function<void(TSendEnd, int)> JobDone;
    QTimer SendTimer;
    QTimer AbortTimer;  // purges again until the aborted job has ended
    bool JobAborted = false;
    qsizetype BytesBeforeSend = 0;  // what the port held when the send began
    QByteArray JobAbortReason;      // "Abbruch Senden", "neuer Abruf"
    QByteArray JobEndReason;        // why the send ended early (empty: it went out whole)
    bool DeviceWasLost = false;
    int JobDwellMs = 0;
    QByteArray JobLineEnd;  // sent after each line
    qint64 LastBytes = 0;
    int LastLines = 0;
    QElapsedTimer SinceProgress;
    qint64 JobTotalBytes = 0;
    bool Stalled = false;

    // A lost device.
    QTimer ReconnectTimer;
    QByteArray ReconnectSaid;  // the waiting said last, so that it is said once

    // Entries that come while LogFile waits for its missing-file box.
    QList<QByteArray> LogQueue;
    // Whole entries (time-stamped) that could not be written yet, oldest first.
    QList<QByteArray> LogWaiting;
    bool InLogFile = false;
};
