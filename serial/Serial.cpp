#include "serial/Serial.h"

#include <QMetaObject>
#include <QTimer>
#include <algorithm>

#include "serial/Port.h"
#include "serial/SerThread.h"
#include "serial/Transport.h"

bool ComputeTimeouts(quint32 baud, int recTimeOut, int trmTimeOut, TCommTimeouts& t) {
    if (recTimeOut <= 0 && trmTimeOut <= 0) return false;
    const quint32 m = std::max<quint32>(1, baud == 0 ? 10000 : 10000 / baud);
    t = TCommTimeouts{};
    if (recTimeOut > 0) {
        t.ReadIntervalTimeout = quint32(recTimeOut);
        t.ReadTotalTimeoutMultiplier = m;
        t.ReadTotalTimeoutConstant = quint32(recTimeOut);
    }
    if (trmTimeOut > 0) {
        t.WriteTotalTimeoutMultiplier = m;
        t.WriteTotalTimeoutConstant = quint32(trmTimeOut);
    }
    return true;
}

// ---- TCustomSerial

TCustomSerial::TCustomSerial(QObject* owner) : QObject(owner) {
    ProbePorts(4);
    for (int n = 1; n <= MaxPort; ++n)
        if (PortExists[n]) FPortNames << QStringLiteral("COM%1").arg(n);
    FCOMPort = 0;
    if (AnyPortExists)
        for (int n = 1; n <= 4; ++n)
            if (PortExists[n]) {
                FCOMPort = n;
                break;
            }
}

TCustomSerial::~TCustomSerial() = default;

void TCustomSerial::SetCOMPort(int v) {
    if (v < 0 || v > MaxPort) return;
    FCOMPort = (AnyPortExists && v > 0 && PortExists[v]) ? v : 0;
}

QByteArray TCustomSerial::PortName(int port) { return "COM" + QByteArray::number(port); }

// ---- TSerial: settings

TSerial::TSerial(QObject* owner) : TCustomSerial(owner) {
    // One transfer family on this platform: the waited one.
    FIsWinNT = true;
    BindClosed();
}

TSerial::~TSerial() { Close(); }

void TSerial::SetActive(bool v) {
    if (v && !FActive)
        FActive = Open();
    else if (!v && FActive)
        Close();
}

void TSerial::SetParityBit(TParityBit v) {
    if (v > space) return;  // not a parity: the tables are indexed by it
    FParityBit = v;
    FParityCheck = v != none;
}

void TSerial::SetBufSizeTrm(int v) { FBufSizeTrm = std::max(v, 16); }

void TSerial::SetBufSizeRec(int v) {
    FBufSizeRec = std::max(v, 16);
    if (FBufSizeRec < FXOffLimit) FXOffLimit = FBufSizeRec;
    if (FXOffLimit <= FXOnLimit) FXOnLimit = FXOffLimit - 1;
}

void TSerial::SetXOffLimit(int v) {
    if (v <= FXOnLimit) v = FXOnLimit + 1;
    if (v > FBufSizeRec) v = FBufSizeRec;
    FXOffLimit = v;
}

void TSerial::SetXOnLimit(int v) {
    if (v >= FXOffLimit) v = FXOffLimit - 1;
    if (v < 0) v = 0;
    FXOnLimit = v;
}

TLineSettings TSerial::LineSettings() const {
    TLineSettings line;
    line.Rate = BaudRateTable[FBaudrate];
    line.DataBits = FDataBits;
    line.Parity = FParityBit;
    line.ParityCheck = FParityCheck;
    line.Stop = FStopBits;
    line.RtsCts = FHandshakeRtsCts;
    line.XonXoff = FHandshakeXOnXOff;
    line.XOn = FXOnChar;
    line.XOff = FXOffChar;
    line.Rts = FRTSActive;
    // No DSR flow control in the kernel nor over the network: DTR stays raised, as the
    // handshake holds it while there is room to receive.
    line.Dtr = FDTRActive || FHandshakeDtrDsr;
    return line;
}

// ---- Open and close

bool TSerial::Open() {
    if (FActive) return false;
    FLastOpenFailure = {};
    if (FCOMPort < 1) {
        FLastOpenFailure = PortError::Failure(peNoPort);
        return false;
    }
    return OpenDevice(Port::DeviceName(FCOMPort));
}

bool TSerial::Reopen() {
    if (FActive) return false;
    if (FDevice.isEmpty()) return Open();
    FLastOpenFailure = {};
    // Never another device in its place: not the default of a name whose entry is gone, nor
    // what the entry names now.
    if (FCOMPort < 1 || Port::DeviceName(FCOMPort) != FDevice) {
        FLastOpenFailure = PortError::Failure(peNoDevice);
        FLastOpenFailure.Device = FDevice;
        return false;
    }
    return OpenDevice(FDevice);
}

bool TSerial::OpenDevice(const QByteArray& device) {
    auto fail = [&](TPortFailure failure) {
        failure.Device = device;
        FLastOpenFailure = failure;
        std::unique_lock lock(FTransferMutex);
        FHandle.store(-1);
        BindClosed();
        FActive = false;
        return false;
    };
    if (device.isEmpty()) return fail(PortError::Failure(peNoDevice));
    // A loss noted for the last open is not this open's.
    FLost.store(false);
    const TLineSettings line = LineSettings();
    QByteArray early;
    TPortFailure failure;
    std::unique_ptr<TTransport> transport = OpenTransport(
        device, line, [this] { return Gone(); }, early, failure);
    if (!transport) return fail(failure);

    FTimeouts = TCommTimeouts{};
    FTimeoutsSet = ComputeTimeouts(line.Rate, FRecTimeOut, FTrmTimeOut, FTimeouts);

    FCommMask = HandlerMask();

    FOpenEventChar = FEventChar;
    FOpenEliminateNull = FEliminateNullChar;
    {
        std::lock_guard lock(FRxMutex);
        FRxStore.clear();
        for (const char c : early)
            if (c != '\0' || !FOpenEliminateNull) FRxStore.append(c);
    }
    FRxCap = FBufSizeRec;
    FTxPending.store(false);
    FRxUnseen.store(0);
    FOpenBaud = line.Rate;
    FDevice = device;
    ++FGeneration;
    {
        std::unique_lock lock(FTransferMutex);
        FTransport = std::move(transport);
        FHandle.store(FTransport->Handle());
        // Bound and active before the thread starts: a handler may read at once.
        BindOpen();
        FActive = true;
        // Made here, where no transfer on another thread looks at it.
        if (FCommMask != 0) StartThread();
    }
    if (!early.isEmpty()) {
        NotifyUnread(TRxFill{int(early.size()), early.contains(FOpenEventChar)});
    }
    return true;
}

quint32 TSerial::HandlerMask() const {
    quint32 mask = 0;
    if (OnBreak) mask |= EV_BREAK;
    if (OnCts) mask |= EV_CTS;
    if (OnDsr) mask |= EV_DSR;
    if (OnError) mask |= EV_ERR;
    if (OnRing) mask |= EV_RING;
    if (OnDcd) mask |= EV_RLSD;
    if (OnRxChar) mask |= EV_RXCHAR;
    if (OnEventChar) mask |= EV_RXFLAG;
    if (OnTxEmpty) mask |= EV_TXEMPTY;
    return mask;
}

void TSerial::StartThread() {
    FThread = std::make_unique<TSerThread>(this, FCommMask);
    static const QThread::Priority priorities[] = {
        QThread::IdlePriority,        QThread::LowestPriority, QThread::LowPriority,
        QThread::NormalPriority,      QThread::HighPriority,   QThread::HighestPriority,
        QThread::TimeCriticalPriority};
    FThread->start(priorities[std::min<int>(FThreadPriority, tpTimeCritical)]);
}

void TSerial::StopThread() {
    if (!FThread) return;
    FThread->RequestStop();
    // Closed from a handler on the event thread: it ends when the handler returns.
    if (QThread::currentThread() != FThread.get()) FThread->wait();
}

void TSerial::DropThread() {
    if (!FThread) return;
    if (QThread::currentThread() == FThread.get()) {
        TSerThread* self = FThread.release();
        connect(self, &QThread::finished, self, &QObject::deleteLater);
        return;
    }
    FThread.reset();
}

void TSerial::Close() {
    if (!FActive) return;
    // A transfer that waits (for the machine, or for the bytes to leave) ends now.
    FClosing = true;
    FTxWake.Ring();
    FRxWake.Ring();
    // Waited for outside the lock: a handler it runs may be inside a transfer.
    StopThread();
    {
        std::unique_lock lock(FTransferMutex);
        // Dropped under the lock: a transfer on another thread may be waking it.
        DropThread();
        FHandle.store(-1);
        // Its end closes the device and leaves it as found.
        FTransport.reset();
        {
            std::lock_guard rxLock(FRxMutex);
            FRxStore.clear();
        }
        BindClosed();
        FActive = false;
    }
    FClosing = false;
    FTxWake.Quiet();
    FRxWake.Quiet();
}

void TSerial::BindClosed() {
    FReadString = &TSerial::ReadStringClosed;
    FWriteString = &TSerial::WriteStringClosed;
    FReadBuffer = &TSerial::ReadBufferClosed;
    FWriteBuffer = &TSerial::WriteBufferClosed;
}

void TSerial::BindOpen() {
    if (FIsWinNT) {
        FReadString = &TSerial::ReadStringWaited;
        FWriteString = &TSerial::WriteStringWaited;
        FReadBuffer = &TSerial::ReadBufferWaited;
        FWriteBuffer = &TSerial::WriteBufferWaited;
    } else {
        FReadString = &TSerial::ReadStringDirect;
        FWriteString = &TSerial::WriteStringDirect;
        FReadBuffer = &TSerial::ReadBufferDirect;
        FWriteBuffer = &TSerial::WriteBufferDirect;
    }
}

// ---- Device loss

static constexpr int LostGraceSteps = 50;
static constexpr int LostGraceStepMs = 20;

void TSerial::NoteDeviceLost() {
    if (FLost.exchange(true)) return;
    const quint64 generation = FGeneration;
    QMetaObject::invokeMethod(
        this, [this, generation] { HandleDeviceLost(generation, 0); }, Qt::QueuedConnection);
}

void TSerial::HandleDeviceLost(quint64 generation, int attempt) {
    // A report from an earlier open must not close the port opened since.
    if (generation != FGeneration || !FActive) return;
    // Bytes that came before the loss are reported but maybe not yet read (the owner may be
    // inside a receive handler): give it a while to take them before closing drops them.
    bool unread;
    {
        std::lock_guard lock(FRxMutex);
        unread = !FRxStore.isEmpty();
    }
    if (unread && (FCommMask & (EV_RXCHAR | EV_RXFLAG)) && attempt < LostGraceSteps) {
        QTimer::singleShot(LostGraceStepMs, this, [this, generation, attempt] {
            HandleDeviceLost(generation, attempt + 1);
        });
        return;
    }
    Close();
    if (OnDeviceLost) OnDeviceLost(this);
    emit DeviceLost();
}

void TSerial::WakeThread() {
    if (FThread) FThread->Wake();
}
