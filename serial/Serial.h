#pragma once
// The serial port component: the settings of one RS-232 port, the port probe, open/close,
// the event thread and the transfer operations.
//
// Threads and notifications
// -------------------------
// While the port is open and at least one of the nine handlers was assigned at open time, a
// TSerThread waits in poll() on the port and on a wake-up descriptor. The handler set is
// copied at open; a handler assigned later is seen at the next open. With
// SyncEventHandling false the handlers run on the event thread (so they must be safe to call
// there: post to the GUI thread, never block waiting for it); with SyncEventHandling true
// DispatchEvents runs on the thread that owns the component and the event thread waits.
// Close() and the destructor stop the event thread and wait for its end (unless called
// from a handler on the event thread itself), so no handler runs after Close() returns.
//
// Device loss
// -----------
// When the port hangs up or vanishes (other side of a pty closed, USB adapter pulled, I/O
// error on a transfer) the event thread stops waiting on it at once. On the owner's thread
// the component then closes the port (Active() becomes false, the transfers return 0 /
// empty), calls OnDeviceLost(this) if assigned and emits the signal DeviceLost(). Bytes
// received before the loss are reported by OnRxChar first, and while they wait unread the
// close is put off (up to about a second) so the owner can still take them. Nothing is
// retried; the owner decides whether to open again (Reopen: the same device or none). Both
// notifications need the owner's thread to run its event loop.
//
// Left as found
// -------------
// Open reads the tty's settings (termios with its bit rate) and its RTS and DTR lines before
// it changes them; Close (also the destructor, and a close after a loss) puts them back.
//
// Device servers
// --------------
// A map entry "tcp://HOST:PORT" is a device server's raw TCP mode: the line settings are made
// on the device server. "rfc2217://HOST:PORT" speaks the telnet COM port option: every open
// sets bit rate, data bits, parity, stop bits and flow control on the device server and
// waits until it has confirmed them; its modem-state notifications raise EV_CTS, EV_DSR,
// EV_RING and EV_RLSD; PurgeBuffers purges its buffers too. Data is escaped both ways.
// A device server takes bytes much faster than its line gives them to the machine: a waited
// write is paced to the bit rate and frame of the settings (start bit, data bits, parity,
// stop bits), so the device server holds about one write at a time, and returns when the
// last byte has had its time on the line and the connection has delivered it.
//
// Settings on this platform
// -------------------------
// Open sets, and reads back, bit rate (any rate, through the arbitrary-rate interface), data
// bits, parity (mark and space too), stop bits, RTS/CTS, XON/XOFF with its characters, RTS
// and DTR. A setting the device cannot take fails the open, and LastOpenFailure() tells
// which: 4 data bits, 1.5 stop bits other than with 5 data bits, 2 stop bits with 5, rate 0.
// The kernel has no DSR flow control: with HandshakeDtrDsr the port opens without it, DTR
// raised as the handshake would hold it while there is room, DSR not watched (the caller
// tells the user, PortError::DtrDsrIgnoredText). Kept and stored, but with no effect here:
// XOnLimit/XOffLimit (the kernel has its own thresholds), ErrorChar with UseErrorChar,
// EofChar, ContinueOnXOff, AbortOnError. EliminateNullChar drops NUL bytes on receive;
// EventChar raises EV_RXFLAG.
//
// Received bytes are moved from the kernel into the component's receive store (at most
// BufSizeRec bytes by the event thread; then the kernel queue and flow control hold the
// rest). InQueueCount() counts the store after taking in what the kernel holds.
// A waited write (SyncWait) returns when the bytes have left the port: handed to the
// kernel, then its transmit queue drained. With a write time-out it gives up after
// M*N + TrmTimeOut ms; what has not left by then is discarded from the queue (so it cannot
// go out later, into whatever is written next) and the result counts what left. Without a
// time-out it waits as long as flow control holds the line, until it is aborted
// (PurgeBuffers), the port is closed or the device is lost. Close() discards unsent output
// first, so a port held back by flow control closes at once.
#include <QByteArray>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QtGlobal>
#include <array>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "serial/Port.h"
#include "serial/PortError.h"

namespace Rfc2217 {
class TTelnetParser;
}

enum TBaudrate : quint8 {
    br_000050,
    br_000110,
    br_000150,
    br_000300,
    br_000600,
    br_001200,
    br_002400,
    br_004800,
    br_009600,
    br_014400,
    br_019200,
    br_038400,
    br_056000,
    br_057600,
    br_115200,
    br_128000,
    br_230400,
    br_256000,
    br_460800,
    br_921600
};
enum TDataBits : quint8 { db_4, db_5, db_6, db_7, db_8 };
enum TParityBit : quint8 { none, odd, even, mark, space };
enum TStopBits : quint8 { sb_1, sb_15, sb_2 };
enum TThreadPriority : quint8 {
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical
};

constexpr int BaudRateCount = 20;
constexpr int MaxPort = 99;

// Bit rate of each TBaudrate, writable: start-up may redefine an entry.
extern quint32 BaudRateTable[BaudRateCount];
extern const char* const ParityNames[5];
extern const char* const StopBitNames[3];

// Port probe state, process-wide, filled once. The probe looks at the devices without
// opening them.
extern bool PortExists[MaxPort + 1];  // index = port number 1..99; [0] unused
// Existing ports the user may not open (not in the group dialout); index as PortExists.
extern bool PortNotPermitted[MaxPort + 1];
extern int PortList[MaxPort];  // existing ports ascending, packed from [0], rest 0
extern bool AnyPortExists;
extern int ProbedPortCount;  // 0: no probe has run yet

void ProbePorts(int count);
void EnsurePortsProbed(int count);
int PortListIndex(int port);
// The probe at program start: every name that the port map or the default mapping leads to
// a device, COM1..COM8 as always and COM9..COM99 too.
void ProbeStartUpPorts();

// Test-only: forget the probe so that a test can probe another port map.
void ResetPortProbeForTests();
// Probes again, as many ports as the first probe did: for a server without a window that
// waits for its device to appear (the windows keep the probe of their start).
void ProbePortsAgain();

// Event bits, in dispatch order.
constexpr quint32 EV_RXCHAR = 0x0001;
constexpr quint32 EV_RXFLAG = 0x0002;
constexpr quint32 EV_TXEMPTY = 0x0004;
constexpr quint32 EV_CTS = 0x0008;
constexpr quint32 EV_DSR = 0x0010;
constexpr quint32 EV_RLSD = 0x0020;
constexpr quint32 EV_BREAK = 0x0040;
constexpr quint32 EV_ERR = 0x0080;
constexpr quint32 EV_RING = 0x0100;

// Time-outs computed at open from the bit rate and RecTimeOut/TrmTimeOut (ms).
struct TCommTimeouts {
    quint32 ReadIntervalTimeout = 0;
    quint32 ReadTotalTimeoutMultiplier = 0;
    quint32 ReadTotalTimeoutConstant = 0;
    quint32 WriteTotalTimeoutMultiplier = 0;
    quint32 WriteTotalTimeoutConstant = 0;
};
// Returns false (and leaves t untouched) when both time-outs are 0: nothing is set then.
bool ComputeTimeouts(quint32 baud, int recTimeOut, int trmTimeOut, TCommTimeouts& t);

struct TSerialSettings {
    bool Valid = false;
    qint32 COMPort = 0;
    TBaudrate Baudrate = br_009600;
    TDataBits DataBits = db_8;
    TParityBit ParityBit = none;
    TStopBits StopBits = sb_1;
    qint32 BufSizeTrm = 2048;
    qint32 BufSizeRec = 2048;
    bool HandshakeRtsCts = false;
    bool HandshakeDtrDsr = false;
    bool HandshakeXOnXOff = false;
    bool RTSActive = false;
    bool DTRActive = false;
    char XOnChar = 17;
    char XOffChar = 19;
    qint32 XOffLimit = 1600;
    qint32 XOnLimit = 400;
    char ErrorChar = '?';
    char EofChar = 26;
    char EventChar = 13;
    bool ContinueOnXOff = false;
    bool UseErrorChar = false;
    bool EliminateNullChar = false;
    bool AbortOnError = false;
    qint32 RecTimeOut = 0;
    qint32 TrmTimeOut = 0;
};

class TSerial;
class TSerThread;
struct TSyncCall;
using TNotifyHandler = std::function<void(TSerial*)>;

class TCustomSerial : public QObject {
    Q_OBJECT
  public:
    explicit TCustomSerial(QObject* owner = nullptr);
    ~TCustomSerial() override;

    int COMPort() const { return FCOMPort; }
    void SetCOMPort(int v);
    TThreadPriority ThreadPriority() const { return FThreadPriority; }
    void SetThreadPriority(TThreadPriority v) { FThreadPriority = v; }
    int BufSizeTrm() const { return FBufSizeTrm; }
    int BufSizeRec() const { return FBufSizeRec; }

    // "COM" + every port the probe found, ascending.
    const QStringList& PortNames() const { return FPortNames; }
    // The port's file descriptor, -1 while closed.
    int Handle() const { return FHandle.load(); }

    // "COM1".."COM99".
    static QByteArray PortName(int port);

  protected:
    int FCOMPort = 0;
    TThreadPriority FThreadPriority = tpNormal;
    int FBufSizeTrm = 2048;
    int FBufSizeRec = 2048;
    std::atomic<int> FHandle{-1};
    QStringList FPortNames;
};

class TSerial : public TCustomSerial {
    Q_OBJECT
  public:
    explicit TSerial(QObject* owner = nullptr);
    ~TSerial() override;

    // Properties.
    bool Active() const { return FActive.load(); }
    void SetActive(bool v);
    TBaudrate Baudrate() const { return FBaudrate; }
    void SetBaudrate(TBaudrate v) {
        if (v < BaudRateCount) FBaudrate = v;
    }
    TDataBits DataBits() const { return FDataBits; }
    void SetDataBits(TDataBits v) {
        if (v <= db_8) FDataBits = v;
    }
    TParityBit ParityBit() const { return FParityBit; }
    void SetParityBit(TParityBit v);
    TStopBits StopBits() const { return FStopBits; }
    void SetStopBits(TStopBits v) {
        if (v <= sb_2) FStopBits = v;
    }
    void SetBufSizeTrm(int v);
    void SetBufSizeRec(int v);
    bool HandshakeRtsCts() const { return FHandshakeRtsCts; }
    void SetHandshakeRtsCts(bool v) { FHandshakeRtsCts = v; }
    bool HandshakeDtrDsr() const { return FHandshakeDtrDsr; }
    void SetHandshakeDtrDsr(bool v) { FHandshakeDtrDsr = v; }
    bool HandshakeXOnXOff() const { return FHandshakeXOnXOff; }
    void SetHandshakeXOnXOff(bool v) { FHandshakeXOnXOff = v; }
    bool RTSActive() const { return FRTSActive; }
    void SetRTSActive(bool v) { FRTSActive = v; }
    bool DTRActive() const { return FDTRActive; }
    void SetDTRActive(bool v) { FDTRActive = v; }
    char XOnChar() const { return FXOnChar; }
    void SetXOnChar(char v) { FXOnChar = v; }
    char XOffChar() const { return FXOffChar; }
    void SetXOffChar(char v) { FXOffChar = v; }
    int XOffLimit() const { return FXOffLimit; }
    void SetXOffLimit(int v);
    int XOnLimit() const { return FXOnLimit; }
    void SetXOnLimit(int v);
    char ErrorChar() const { return FErrorChar; }
    void SetErrorChar(char v) { FErrorChar = v; }
    char EofChar() const { return FEofChar; }
    void SetEofChar(char v) { FEofChar = v; }
    char EventChar() const { return FEventChar; }
    void SetEventChar(char v) { FEventChar = v; }
    bool ParityCheck() const { return FParityCheck; }
    bool ContinueOnXOff() const { return FContinueOnXOff; }
    void SetContinueOnXOff(bool v) { FContinueOnXOff = v; }
    bool UseErrorChar() const { return FUseErrorChar; }
    void SetUseErrorChar(bool v) { FUseErrorChar = v; }
    bool EliminateNullChar() const { return FEliminateNullChar; }
    void SetEliminateNullChar(bool v) { FEliminateNullChar = v; }
    bool AbortOnError() const { return FAbortOnError; }
    void SetAbortOnError(bool v) { FAbortOnError = v; }
    int RecTimeOut() const { return FRecTimeOut; }
    void SetRecTimeOut(int v) { FRecTimeOut = v < 0 ? 0 : v; }
    int TrmTimeOut() const { return FTrmTimeOut; }
    void SetTrmTimeOut(int v) { FTrmTimeOut = v < 0 ? 0 : v; }
    bool SyncEventHandling() const { return FSyncEventHandling.load(); }
    void SetSyncEventHandling(bool v) { FSyncEventHandling.store(v); }
    bool EnableEvents() const { return FEnableEvents.load(); }
    void SetEnableEvents(bool v) { FEnableEvents.store(v); }
    bool SyncWait() const { return FSyncWait.load(); }
    void SetSyncWait(bool v) { FSyncWait.store(v); }

    // Notification handlers; assigned = non-empty. Read at open time.
    TNotifyHandler OnBreak, OnCts, OnDsr, OnError, OnRing, OnDcd, OnRxChar, OnEventChar, OnTxEmpty;
    // Called on the owner's thread after a lost device closed the port.
    TNotifyHandler OnDeviceLost;

    virtual bool Open();
    virtual void Close();
    // Opens the device of the last successful open again, and only that one: false (with
    // peNoDevice) when COMPort's map entry is gone or now names another device.
    bool Reopen();
    // The device of the last successful open (a path or a device server's address); empty
    // before the first one.
    const QByteArray& Device() const { return FDevice; }

    // Why the last Open() failed; Code peNone after a successful open.
    const TPortFailure& LastOpenFailure() const { return FLastOpenFailure; }
    // The same in German words, for traces; empty after a successful open.
    QByteArray LastOpenError() const { return PortError::Reason(FLastOpenFailure); }

    // The four bound operations. Bytes are bytes: every value passes unchanged. They may run
    // on another thread than the owner's (a long send does); Close() wakes a call that waits
    // and returns only when no call is in flight any more.
    QByteArray ReadString() {
        std::shared_lock lock(FTransferMutex);
        return (this->*FReadString)();
    }
    int WriteString(const QByteArray& text) {
        std::shared_lock lock(FTransferMutex);
        return (this->*FWriteString)(text);
    }
    int ReadBuffer(char* buffer, quint32 count) {
        std::shared_lock lock(FTransferMutex);
        return (this->*FReadBuffer)(buffer, count);
    }
    int WriteBuffer(const char* buffer, int count) {
        std::shared_lock lock(FTransferMutex);
        return (this->*FWriteBuffer)(buffer, count);
    }
    // Conveniences: buffer is resized to what was read.
    int ReadBuffer(QByteArray& buffer, quint32 count);
    int WriteBuffer(const QByteArray& buffer) {
        return WriteBuffer(buffer.constData(), int(buffer.size()));
    }

    // The twelve implementations behind the bound operations.
    virtual QByteArray ReadStringClosed();
    virtual QByteArray ReadStringDirect();
    virtual QByteArray ReadStringWaited();
    virtual int WriteBufferClosed(const char* buffer, int count);
    virtual int WriteBufferDirect(const char* buffer, int count);
    virtual int WriteBufferWaited(const char* buffer, int count);
    virtual int ReadBufferClosed(char* buffer, quint32 count);
    virtual int ReadBufferDirect(char* buffer, quint32 count);
    virtual int ReadBufferWaited(char* buffer, quint32 count);
    virtual int WriteStringClosed(const QByteArray& text);
    virtual int WriteStringDirect(const QByteArray& text);
    virtual int WriteStringWaited(const QByteArray& text);

    void GetQueueStatus(int& inQueue, int& outQueue);
    int InQueueCount();
    // txAbort / rxAbort also end a write / read that is waiting, at once; it returns what
    // it had moved.
    bool PurgeBuffers(bool txAbort, bool rxAbort, bool txClear, bool rxClear);

    virtual void SetSettings(const TSerialSettings& settings);
    virtual void GetSettings(TSerialSettings& settings) const;
    virtual void SettingsToText(const TSerialSettings& settings, QByteArray& text) const;
    virtual void TextToSettings(const QByteArray& text, TSerialSettings& settings) const;

    // Introspection of the last open.
    bool IsWinNT() const { return FIsWinNT; }
    quint32 CommMask() const { return FCommMask; }
    bool HasEventThread() const { return FThread != nullptr; }
    // The bit rate the port was opened with.
    quint32 OpenRate() const { return FOpenBaud; }
    // True when time-outs were set at the last open; t receives them.
    bool Timeouts(TCommTimeouts& t) const {
        t = FTimeouts;
        return FTimeoutsSet;
    }

  signals:
    // Emitted on the owner's thread after a lost device closed the port.
    void DeviceLost();

  private:
    friend class TSerThread;

    // Drains the port into the receive store (at most up to cap bytes held; cap < 0: no
    // limit). Returns bytes added; eventChar tells whether EventChar was among them; lost
    // tells whether the device hung up or failed.
    int FillRx(int cap, bool& eventChar, bool& lost);
    int TakeRx(char* buffer, int max);
    // Owner-side reads: drain the kernel into the store (returns what it holds), then
    // report bytes left unread to the event thread.
    struct TRxFill {
        int Added = 0;
        bool EventChar = false;
    };
    int DrainRx(TRxFill& fill);
    void NotifyUnread(const TRxFill& fill);
    bool OpenDevice(const QByteArray& device);
    // termios, bit rate and modem lines of a tty; false with the failure.
    bool ConfigureDevice(int fd, quint32 baud, TPortFailure& failure);
    // The settings over the telnet COM port option, confirmed by the device server; data that
    // came meanwhile is added to rx.
    bool ConfigureNetwork(int fd, quint32 baud, QByteArray& rx, TPortFailure& failure);
    // Sends a whole piece of the telnet stream; waits at most ms for the connection to
    // take it (false: not all of it sent).
    bool NetSend(int fd, const QByteArray& bytes, int ms);
    // Paced writing to a device server.
    int NetWrite(int fd, const char* buffer, int count, bool wait);

    int WaitedWrite(const char* buffer, int count, bool wait);
    // When a write of count bytes gives up (M*N + TrmTimeOut); false when it never does.
    bool WriteDeadline(int count, std::chrono::steady_clock::time_point& deadline) const;
    // Whether a transfer that started when the abort count was `aborts` must stop now.
    bool TxStopped(quint64 aborts) const;
    bool RxStopped(quint64 aborts) const;
    int WaitedRead(char* buffer, quint32 count);
    void NoteDeviceLost();
    void HandleDeviceLost(quint64 generation, int attempt);
    void WakeThread();
    void StopThread();
    void BindClosed();
    void BindOpen();

    std::atomic<bool> FActive{false};
    TBaudrate FBaudrate = br_009600;
    TDataBits FDataBits = db_8;
    TParityBit FParityBit = none;
    TStopBits FStopBits = sb_1;
    bool FHandshakeRtsCts = false;
    bool FHandshakeDtrDsr = false;
    bool FHandshakeXOnXOff = false;
    bool FRTSActive = false;
    bool FDTRActive = false;
    char FXOnChar = 17;
    char FXOffChar = 19;
    int FXOffLimit = 1600;
    int FXOnLimit = 400;
    char FErrorChar = '?';
    char FEofChar = 26;
    char FEventChar = 13;
    bool FParityCheck = false;
    bool FContinueOnXOff = false;
    bool FUseErrorChar = false;
    bool FEliminateNullChar = false;
    bool FAbortOnError = false;
    int FRecTimeOut = 0;
    int FTrmTimeOut = 0;
    std::atomic<bool> FSyncEventHandling{false};
    std::atomic<bool> FEnableEvents{true};
    std::atomic<bool> FSyncWait{true};

    bool FIsWinNT = true;
    quint32 FCommMask = 0;
    TCommTimeouts FTimeouts;
    bool FTimeoutsSet = false;
    TPortFailure FLastOpenFailure;

    // Settings captured at open that the data path uses.
    char FOpenEventChar = 13;
    bool FOpenEliminateNull = false;

    std::mutex FRxMutex;
    QByteArray FRxStore;
    qsizetype FRxCap = 2048;  // the event thread stops reading when the store holds this
    std::atomic<bool> FLost{false};
    std::atomic<bool> FTxPending{false};  // written bytes not yet reported by EV_TXEMPTY
    std::atomic<quint32> FRxUnseen{0};    // receive events for bytes an owner read drained
    quint64 FGeneration = 0;  // counts opens, so a late loss report cannot close a new open

    std::unique_ptr<TSerThread> FThread;

    // Transfers hold this shared; Close() and Open() hold it exclusively.
    std::shared_mutex FTransferMutex;
    // Rung to wake a waiting write / read: by an abort (the count goes up) or by Close().
    int FTxWakeFd = -1;
    int FRxWakeFd = -1;
    std::atomic<bool> FTxRung{false};
    std::atomic<bool> FRxRung{false};
    std::atomic<quint64> FTxAborts{0};
    std::atomic<quint64> FRxAborts{0};
    std::atomic<bool> FClosing{false};
    quint32 FOpenBaud = 0;  // bit rate of the open port, for how long a queue takes to drain
    bool FOpenIsPty = false;
    bool FOpenIsSocket = false;  // a serial device server over TCP
    bool FOpenRfc2217 = false;   // ... that speaks the telnet COM port option
    QByteArray FDevice;          // the device of the last successful open
    Port::TSavedDevice FSaved;   // the tty as it was before the open
    // A device server's line: how long a character takes on it, and when what was written
    // so far has had its time there.
    qint64 FCharNs = 0;
    std::mutex FPaceMutex;
    std::chrono::steady_clock::time_point FLineFreeAt;
    // The telnet stream: the parser of what comes (under FRxMutex) and one sender at a time.
    std::unique_ptr<Rfc2217::TTelnetParser> FTelnet;
    std::timed_mutex FNetMutex;
    std::atomic<int> FNetModem{0};       // TIOCM_* bits from the last notification
    std::atomic<quint32> FNetEvents{0};  // line events from notifications, for the thread
    // How long an open waits for a device server to take the connection: a server on the
    // LAN answers in milliseconds, and a reconnect try must not hold the window.
    static constexpr int kConnectMs = 200;
    // How long a device server may take to confirm the settings of an open.
    static constexpr int kNegotiateMs = 500;

    QByteArray (TSerial::*FReadString)() = &TSerial::ReadStringClosed;
    int (TSerial::*FWriteString)(const QByteArray&) = &TSerial::WriteStringClosed;
    int (TSerial::*FReadBuffer)(char*, quint32) = &TSerial::ReadBufferClosed;
    int (TSerial::*FWriteBuffer)(const char*, int) = &TSerial::WriteBufferClosed;
};

// The event thread: waits for line and data events of the owner's port and dispatches them.
class TSerThread : public QThread {
    Q_OBJECT
  public:
    // Handlers in dispatch order: break, CTS, DSR, error, ring, DCD, RX char, event char,
    // TX empty; copied from the owner at open.
    static constexpr int HandlerCount = 9;
    static const quint32 DispatchOrder[HandlerCount];

    TSerThread(TSerial* owner, quint32 commMask);
    ~TSerThread() override;

    // Events that ended the last wait.
    quint32 EventMask = 0;

    // Calls the handlers for the bits of EventMask, in dispatch order.
    void DispatchEvents();

    // Sets the stop request and wakes the wait; does not wait for the end.
    void RequestStop();
    // Wakes the wait so that it looks at the port again (data taken, data written).
    void Wake();

  protected:
    void run() override { Execute(); }
    void Execute();

  private:
    using THandlers = std::array<TNotifyHandler, HandlerCount>;
    static void Dispatch(TSerial* owner, quint32 mask, const THandlers& handlers);
    void DispatchOnOwnerThread();

    TSerial* FOwner;
    quint32 FCommMask;
    std::shared_ptr<const THandlers> FHandlers;
    int FWakeFd = -1;
    bool FWatchLine = false;       // the device has modem lines and a handler wants them
    Port::TLineState FLineAtOpen;  // modem bits and line counters at open
    std::atomic<bool> FStop{false};
    std::mutex FSyncMutex;
    std::shared_ptr<TSyncCall> FSync;  // the dispatch waiting on the owner's thread
};
