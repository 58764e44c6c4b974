#pragma once
// The serial port component: the settings of one RS-232 port, open/close, the event thread
// (SerThread.h) and the transfer operations, over the transport of its device
// (Transport.h).
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
// A map entry "tcp://HOST:PORT" is a device server's raw TCP mode (TcpTransport.h): the
// line settings are made on the device server. "rfc2217://HOST:PORT" speaks the telnet COM
// port option (Rfc2217Transport.h): every open sets bit rate, data bits, parity, stop bits
// and flow control on the device server and waits until it has confirmed them; its
// modem-state notifications raise EV_CTS, EV_DSR, EV_RING and EV_RLSD; PurgeBuffers purges
// its buffers too. Data is escaped both ways. A device server takes bytes much faster than
// its line gives them to the machine: a waited write is paced to the bit rate and frame of
// the settings (start bit, data bits, parity, stop bits), so the device server holds about
// one write at a time, and returns when the last byte has had its time on the line and the
// connection has delivered it.
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
#include <QtGlobal>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <shared_mutex>

#include "serial/Events.h"
#include "serial/Line.h"
#include "serial/PortError.h"
#include "serial/Probe.h"
#include "serial/WakeUp.h"

class TTransport;

enum TThreadPriority : quint8 {
    tpIdle,
    tpLowest,
    tpLower,
    tpNormal,
    tpHigher,
    tpHighest,
    tpTimeCritical
};

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

    // The settings an open asks of the line.
    TLineSettings LineSettings() const;
    bool OpenDevice(const QByteArray& device);
    // Closing, or the device noted lost: what waits for the device gives up.
    bool Gone() const { return FClosing.load() || FLost.load(); }

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

    int WaitedWrite(const char* buffer, int count, bool wait);
    // When a write of count bytes gives up (M*N + TrmTimeOut); false when it never does.
    bool WriteDeadline(int count, std::chrono::steady_clock::time_point& deadline) const;
    // Whether a transfer that started when the abort count was `aborts` must stop now.
    bool TxStopped(quint64 aborts) const;
    bool RxStopped(quint64 aborts) const;
    int WaitedRead(char* buffer, quint32 count);
    void NoteDeviceLost();
    void HandleDeviceLost(quint64 generation, int attempt);
    // The event mask of the handlers assigned now.
    quint32 HandlerMask() const;
    void WakeThread();
    // Under FTransferMutex held exclusively, as every change of FThread.
    void StartThread();
    // Asks the event thread to end and waits for it (unless called on it); DropThread then
    // lets it go, under FTransferMutex held exclusively.
    void StopThread();
    void DropThread();
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
    quint32 FOpenBaud = 0;

    // The device while open: set and reset under FTransferMutex held exclusively.
    std::unique_ptr<TTransport> FTransport;
    QByteArray FDevice;  // the device of the last successful open

    std::mutex FRxMutex;  // the receive store and every read of the transport
    QByteArray FRxStore;
    qsizetype FRxCap = 2048;  // the event thread stops reading when the store holds this
    std::atomic<bool> FLost{false};
    std::atomic<bool> FTxPending{false};  // written bytes not yet reported by EV_TXEMPTY
    std::atomic<quint32> FRxUnseen{0};    // receive events for bytes an owner read drained
    quint64 FGeneration = 0;  // counts opens, so a late loss report cannot close a new open

    // Set and reset under FTransferMutex held exclusively: transfers wake it.
    std::unique_ptr<TSerThread> FThread;

    // Transfers hold this shared; Close() and Open() hold it exclusively.
    std::shared_mutex FTransferMutex;
    // Rung to wake a waiting write / read: by an abort (the count goes up) or by Close().
    TWakeUp FTxWake;
    TWakeUp FRxWake;
    std::atomic<quint64> FTxAborts{0};
    std::atomic<quint64> FRxAborts{0};
    std::atomic<bool> FClosing{false};

    QByteArray (TSerial::*FReadString)() = &TSerial::ReadStringClosed;
    int (TSerial::*FWriteString)(const QByteArray&) = &TSerial::WriteStringClosed;
    int (TSerial::*FReadBuffer)(char*, quint32) = &TSerial::ReadBufferClosed;
    int (TSerial::*FWriteBuffer)(const char*, int) = &TSerial::WriteBufferClosed;
};
