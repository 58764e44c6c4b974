#include "serial/Serial.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <QMetaObject>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstring>

#include "serial/Port.h"
#include "serial/Rfc2217.h"
#include "serial/Termios.h"

quint32 BaudRateTable[BaudRateCount] = {50,     110,    150,    300,    600,    1200,  2400,
                                        4800,   9600,   14400,  19200,  38400,  56000, 57600,
                                        115200, 128000, 230400, 256000, 460800, 921600};
const char* const ParityNames[5] = {"none", "odd", "even", "mark", "space"};
const char* const StopBitNames[3] = {"1", "1,5", "2"};

bool PortExists[MaxPort + 1] = {};
bool PortNotPermitted[MaxPort + 1] = {};
int PortList[MaxPort] = {};
bool AnyPortExists = false;
int ProbedPortCount = 0;

void ProbePorts(int count) {
    // A count outside 1..99 would index past the tables or leave a "done" probe that
    // probed nothing.
    if (ProbedPortCount != 0 || count <= 0) return;
    count = std::min(count, MaxPort);
    AnyPortExists = false;
    int found = 0;
    for (int n = 1; n <= count; ++n) {
        const Port::TDeviceState state = Port::PortState(n);
        PortExists[n] = Port::Present(state);
        PortNotPermitted[n] = state == Port::dsNotPermitted;
        PortList[n - 1] = 0;
        if (PortExists[n]) PortList[found++] = n;
        AnyPortExists = AnyPortExists || PortExists[n];
    }
    ProbedPortCount = count;
}

void EnsurePortsProbed(int count) {
    if (ProbedPortCount == 0 && count > 0) ProbePorts(std::min(count, MaxPort));
}

void ProbeStartUpPorts() {
    // A name with neither a map entry nor a default device costs one lstat.
    EnsurePortsProbed(MaxPort);
}

int PortListIndex(int port) {
    if (port < 1 || port > ProbedPortCount || !PortExists[port]) return 0;
    for (int i = 0; i < ProbedPortCount; ++i)
        if (PortList[i] == port) return i;
    return 0;
}

void ProbePortsAgain() {
    const int count = ProbedPortCount;
    ResetPortProbeForTests();
    EnsurePortsProbed(count > 0 ? count : 8);
}

void ResetPortProbeForTests() {
    std::fill(std::begin(PortExists), std::end(PortExists), false);
    std::fill(std::begin(PortNotPermitted), std::end(PortNotPermitted), false);
    std::fill(std::begin(PortList), std::end(PortList), 0);
    AnyPortExists = false;
    ProbedPortCount = 0;
}

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

namespace {

// The most a read takes from the kernel into the receive store at once (1 MiB).
constexpr int kRxDrainCap = 1 << 20;

int NewWakeFd() { return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

// A wake-up descriptor and whether it was rung since it was last quieted, so that a
// transfer that nobody woke costs no system call for it.
void Ring(int fd, std::atomic<bool>& rung) {
    // The flag goes up after the write: a Quiet in between would otherwise take the flag,
    // read nothing, and leave the descriptor readable for every later poll.
    const quint64 one = 1;
    if (fd >= 0) [[maybe_unused]]
        ssize_t n = write(fd, &one, sizeof one);
    rung = true;
}

void Quiet(int fd, std::atomic<bool>& rung) {
    if (!rung.exchange(false)) return;
    quint64 count;
    if (fd >= 0) [[maybe_unused]]
        ssize_t n = read(fd, &count, sizeof count);
}

using Clock = std::chrono::steady_clock;

// Milliseconds left until deadline, -1 for none, 0 when passed.
int MsLeft(bool hasDeadline, Clock::time_point deadline) {
    if (!hasDeadline) return -1;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left <= 0 ? 0 : int(std::min<long long>(left, 1 << 30));
}

// A device server's modem state as the modem bits of a tty.
int NetModemBits(int state) {
    return (state & Rfc2217::kModemCts ? TIOCM_CTS : 0) |
           (state & Rfc2217::kModemDsr ? TIOCM_DSR : 0) |
           (state & Rfc2217::kModemRing ? TIOCM_RNG : 0) |
           (state & Rfc2217::kModemDcd ? TIOCM_CAR : 0);
}

// What a device server's line may hold ahead of the line clock: a write is sent in pieces
// of this, each when the one before has had its time on the line.
constexpr int kPaceBytes = 256;

}  // namespace

TSerial::TSerial(QObject* owner)
    : TCustomSerial(owner), FTxWakeFd(NewWakeFd()), FRxWakeFd(NewWakeFd()) {
    // One transfer family on this platform: the waited one.
    FIsWinNT = true;
    BindClosed();
}

TSerial::~TSerial() {
    Close();
    if (FTxWakeFd >= 0) close(FTxWakeFd);
    if (FRxWakeFd >= 0) close(FRxWakeFd);
}

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
    int fd = -1;
    auto fail = [&](TPortFailure failure) {
        if (fd >= 0) {
            if (FSaved.Valid) Port::RestoreDevice(fd, FSaved);
            Port::CloseExclusive(fd);
        }
        failure.Device = device;
        FLastOpenFailure = failure;
        std::unique_lock lock(FTransferMutex);
        FHandle.store(-1);
        BindClosed();
        FActive = false;
        return false;
    };
    FSaved = {};
    if (device.isEmpty()) return fail(PortError::Failure(peNoDevice));
    const quint32 baud = BaudRateTable[FBaudrate];
    int err = 0;
    Port::TNetAddress address;
    const bool network = Port::ParseNetworkAddress(device, &address);
    QByteArray rx;
    if (network) {
        fd = Port::ConnectTcp(address.Host, address.Port, kConnectMs, err);
        if (fd < 0) return fail(PortError::Failure(err));
        // Raw TCP: the serial settings are set on the device server, not here.
        TPortFailure failure;
        if (address.Rfc2217 && !ConfigureNetwork(fd, baud, rx, failure)) return fail(failure);
    } else {
        fd = Port::OpenExclusive(device, err);
        if (fd < 0) return fail(PortError::Failure(err));
        FSaved = Port::SaveDevice(fd);
        TPortFailure failure;
        if (!ConfigureDevice(fd, baud, failure)) return fail(failure);
    }

    FTimeouts = TCommTimeouts{};
    FTimeoutsSet = ComputeTimeouts(baud, FRecTimeOut, FTrmTimeOut, FTimeouts);

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
    FCommMask = mask;

    FOpenEventChar = FEventChar;
    FOpenEliminateNull = FEliminateNullChar;
    {
        std::lock_guard lock(FRxMutex);
        FRxStore.clear();
        for (const char c : rx)
            if (c != '\0' || !FOpenEliminateNull) FRxStore.append(c);
    }
    FRxCap = FBufSizeRec;
    FLost.store(false);
    FTxPending.store(false);
    FRxUnseen.store(0);
    FNetEvents.store(0);
    FOpenBaud = baud;
    FOpenIsPty = !network && Port::IsPseudoTerminal(fd);
    FOpenIsSocket = network;
    FOpenRfc2217 = network && address.Rfc2217;
    {
        // Start, data and stop bits, and the parity bit if there is one.
        const qint64 halfBits =
            2 * (1 + FDataBits + 4 + (FParityBit != none ? 1 : 0)) + (FStopBits == sb_1    ? 2
                                                                      : FStopBits == sb_15 ? 3
                                                                                           : 4);
        FCharNs = halfBits * 500'000'000LL / std::max<quint32>(baud, 1);
        std::lock_guard lock(FPaceMutex);
        FLineFreeAt = std::chrono::steady_clock::now();
    }
    FDevice = device;
    ++FGeneration;
    {
        std::unique_lock lock(FTransferMutex);
        FHandle.store(fd);
        // Bound and active before the thread starts: a handler may read at once.
        BindOpen();
        FActive = true;
    }
    if (mask != 0) {
        FThread = std::make_unique<TSerThread>(this, mask);
        static const QThread::Priority priorities[] = {
            QThread::IdlePriority,        QThread::LowestPriority, QThread::LowPriority,
            QThread::NormalPriority,      QThread::HighPriority,   QThread::HighestPriority,
            QThread::TimeCriticalPriority};
        FThread->start(priorities[std::min<int>(FThreadPriority, tpTimeCritical)]);
    }
    if (!rx.isEmpty()) NotifyUnread(TRxFill{int(rx.size()), rx.contains(FOpenEventChar)});
    return true;
}

bool TSerial::ConfigureNetwork(int fd, quint32 baud, QByteArray& rx, TPortFailure& failure) {
    using namespace Rfc2217;
    auto fail = [&](TPortFailure f) {
        failure = f;
        return false;
    };
    auto unsupported = [&](TPortSetting setting) {
        TPortFailure f = PortError::Failure(peNotSupported);
        f.Setting = setting;
        f.DataBits = FDataBits + 4;
        f.StopBits = FStopBits;
        f.Rate = baud;
        return fail(f);
    };
    if (FDataBits == db_4) return unsupported(psDataBits);
    auto parser = std::make_unique<TTelnetParser>();
    TLineRequest request;
    request.Rate = baud;
    request.DataBits = FDataBits + 4;
    request.Parity = FParityBit;
    request.Stop = FStopBits;
    request.RtsCts = FHandshakeRtsCts;
    request.XonXoff = FHandshakeXOnXOff;
    request.Rts = FRTSActive;
    // No DSR flow control here either: DTR raised, as with a tty.
    request.Dtr = FDTRActive || FHandshakeDtrDsr;
    const auto deadline = Clock::now() + std::chrono::milliseconds(kNegotiateMs);
    if (!NetSend(fd, Greeting(), kNegotiateMs)) return fail(PortError::Failure(errno));
    // The settings go once the server took the option; then each is confirmed.
    bool sent = false;
    const quint8 confirm[] = {Rfc2217::SetBaudrate, SetDatasize, SetParity, SetStopsize,
                              SetControl};
    size_t confirmed = 0;
    int modem = 0;
    char chunk[4096];
    while (confirmed < std::size(confirm)) {
        if (parser->ComPortRefused()) return unsupported(psComPortOption);
        if (parser->ComPortAccepted() && !sent) {
            if (!NetSend(fd, Settings(request), kNegotiateMs)) {
                return fail(PortError::Failure(errno));
            }
            sent = true;
        }
        const int left = MsLeft(true, deadline);
        if (left == 0) {
            // A server that never answered the option is no RFC 2217 server.
            return sent ? fail(PortError::Failure(ETIMEDOUT)) : unsupported(psComPortOption);
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, left) <= 0) continue;
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
        if (n == 0) return fail(PortError::Failure(ECONNRESET));
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) continue;
            return fail(PortError::Failure(errno));
        }
        parser->Feed(QByteArrayView(chunk, n), rx);
        const QByteArray answers = parser->TakeAnswers();
        if (!answers.isEmpty()) NetSend(fd, answers, kNegotiateMs);
        for (const TReply& reply : parser->TakeReplies()) {
            if (reply.Command == NotifyModemstate && !reply.Value.isEmpty()) {
                modem = quint8(reply.Value[0]);
                continue;
            }
            if (!sent || confirmed >= std::size(confirm) || reply.Command != confirm[confirmed])
                continue;
            // The server answers with the value it now runs; another one is a refusal.
            const QByteArray& v = reply.Value;
            if (reply.Command == Rfc2217::SetBaudrate) {
                const quint32 got = v.size() == 4 ? (quint32(quint8(v[0])) << 24) |
                                                        (quint32(quint8(v[1])) << 16) |
                                                        (quint32(quint8(v[2])) << 8) | quint8(v[3])
                                                  : 0;
                if (got != baud) return unsupported(psRate);
            } else if (v.size() != 1) {
                return unsupported(psLine);
            } else if (reply.Command == SetDatasize && quint8(v[0]) != FDataBits + 4) {
                return unsupported(psDataBits);
            } else if (reply.Command == SetParity && quint8(v[0]) != ParityValue(FParityBit)) {
                return unsupported(psLine);
            } else if (reply.Command == SetStopsize && quint8(v[0]) != StopValue(FStopBits)) {
                return unsupported(psStopBits);
            } else if (reply.Command == SetControl &&
                       quint8(v[0]) != FlowValue(FHandshakeRtsCts, FHandshakeXOnXOff)) {
                return unsupported(psLine);
            }
            ++confirmed;
        }
    }
    std::lock_guard lock(FRxMutex);
    FTelnet = std::move(parser);
    FNetModem.store(NetModemBits(modem));
    return true;
}

bool TSerial::ConfigureDevice(int fd, quint32 baud, TPortFailure& failure) {
    auto fail = [&](const TPortFailure& f) {
        failure = f;
        return false;
    };
    auto unsupported = [&](TPortSetting setting, int err = 0) {
        TPortFailure f = PortError::Failure(peNotSupported);
        f.Errno = err;
        f.Setting = setting;
        f.DataBits = FDataBits + 4;
        f.StopBits = FStopBits;
        f.Rate = baud;
        return fail(f);
    };
    termios t{};
    if (tcgetattr(fd, &t) != 0) return fail(PortError::Failure(errno));
    Termios::MakeRaw(t);
    if (!Termios::SetDataBits(t, FDataBits)) return unsupported(psDataBits);
    Termios::SetParity(t, FParityBit, FParityCheck);
    if (!Termios::SetStopBits(t, FStopBits, FDataBits)) return unsupported(psStopBits);
    Termios::SetFlowControl(t, FHandshakeRtsCts, FHandshakeXOnXOff, FXOnChar, FXOffChar);
    if (tcsetattr(fd, TCSANOW, &t) != 0) {
        const int e = errno;
        return e == EINVAL ? unsupported(psLine, e) : fail(PortError::Failure(e));
    }
    termios back{};
    if (tcgetattr(fd, &back) != 0) return fail(PortError::Failure(errno));
    // A pseudo-terminal has no wire: it keeps 8 data bits and no parity whatever is asked.
    const tcflag_t ignored = Port::IsPseudoTerminal(fd) ? (CSIZE | PARENB) : 0;
    if ((Termios::CheckedCflag(back) & ~ignored) != (Termios::CheckedCflag(t) & ~ignored))
        return unsupported(psLine);
    int err = 0;
    if (!Port::SetRate(fd, baud, err)) {
        if (PortError::FromErrno(err) != peNotSupported) return fail(PortError::Failure(err));
        return unsupported(psRate, baud == 0 ? 0 : err);  // 0 is refused before any call
    }
    if (!FHandshakeRtsCts) Port::SetModemLine(fd, TIOCM_RTS, FRTSActive);
    // No DSR flow control in the kernel: DTR stays raised, as the handshake holds it while
    // there is room to receive.
    Port::SetModemLine(fd, TIOCM_DTR, FDTRActive || FHandshakeDtrDsr);

    return true;
}

void TSerial::StopThread() {
    if (!FThread) return;
    FThread->RequestStop();
    if (QThread::currentThread() == FThread.get()) {
        // Closed from a handler on the event thread: it ends when the handler returns.
        TSerThread* self = FThread.release();
        connect(self, &QThread::finished, self, &QObject::deleteLater);
        return;
    }
    FThread->wait();
    FThread.reset();
}

void TSerial::Close() {
    if (!FActive) return;
    // A transfer that waits (for the machine, or for the bytes to leave) ends now.
    FClosing = true;
    Ring(FTxWakeFd, FTxRung);
    Ring(FRxWakeFd, FRxRung);
    StopThread();
    {
        std::unique_lock lock(FTransferMutex);
        const int fd = FHandle.exchange(-1);
        // Unsent output is dropped: the close would otherwise wait for flow control to
        // let it go (up to the tty's closing wait). A pseudo-terminal holds nothing back,
        // and a flush there could drop bytes that were written whole.
        if (fd >= 0 && !FOpenIsPty && !FOpenIsSocket) tcflush(fd, TCOFLUSH);
        // Left as found: settings and modem lines as they were before the open.
        if (fd >= 0 && FSaved.Valid) Port::RestoreDevice(fd, FSaved);
        FSaved = {};
        Port::CloseExclusive(fd);
        {
            std::lock_guard rxLock(FRxMutex);
            FTelnet.reset();
        }
        {
            std::lock_guard rxLock(FRxMutex);
            FRxStore.clear();
        }
        BindClosed();
        FActive = false;
    }
    FClosing = false;
    Quiet(FTxWakeFd, FTxRung);
    Quiet(FRxWakeFd, FRxRung);
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

// ---- Receive store

int TSerial::FillRx(int cap, bool& eventChar, bool& lost) {
    eventChar = false;
    lost = false;
    const int fd = FHandle.load();
    if (fd < 0) return 0;
    std::unique_lock lock(FRxMutex);
    int added = 0;
    char raw[4096];
    QByteArray data;
    QByteArray answers;
    for (;;) {
        qsizetype room = sizeof raw;
        if (cap >= 0) room = std::min<qsizetype>(room, cap - FRxStore.size());
        if (room <= 0) break;
        ssize_t n = ::read(fd, raw, size_t(room));
        const char* chunk = raw;
        if (n > 0 && FTelnet) {
            // The telnet stream: data, answers owed, notifications of the modem lines.
            data.resize(0);
            FTelnet->Feed(QByteArrayView(raw, n), data);
            answers += FTelnet->TakeAnswers();
            for (const Rfc2217::TReply& reply : FTelnet->TakeReplies()) {
                if (reply.Command != Rfc2217::NotifyModemstate || reply.Value.isEmpty()) continue;
                Port::TLineState before, now;
                before.Modem = FNetModem.exchange(NetModemBits(quint8(reply.Value[0])));
                now.Modem = FNetModem.load();
                FNetEvents.fetch_or(Port::LineEvents(before, now));
            }
            chunk = data.constData();
            n = data.size();
            if (n == 0) continue;
        }
        if (n > 0) {
            if (memchr(chunk, FOpenEventChar, size_t(n))) eventChar = true;
            if (!FOpenEliminateNull) {
                FRxStore.append(chunk, n);
                added += int(n);
                continue;
            }
            for (ssize_t i = 0; i < n; ++i) {
                if (chunk[i] == '\0') continue;
                FRxStore.append(chunk[i]);
                ++added;
            }
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            lost = true;  // EIO, ENXIO: the device is gone
        } else if (n == 0 && FOpenIsSocket) {
            lost = true;  // the device server closed the connection
        } else if (n == 0) {
            // With VMIN = VTIME = 0 an empty queue reads as 0 too: only a hang-up tells.
            pollfd p{fd, 0, 0};
            lost = poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL));
        }
        break;
    }
    lock.unlock();
    if (!answers.isEmpty()) NetSend(fd, answers, 200);
    if (FNetEvents.load() != 0 && QThread::currentThread() != FThread.get()) WakeThread();
    return added;
}

int TSerial::DrainRx(TRxFill& fill) {
    bool eventChar = false, lost = false;
    // Bounded, so that a peer that writes faster than we take (a pty, a device server)
    // leaves its bytes in the kernel instead of growing the store without end.
    fill.Added += FillRx(int(std::max<qsizetype>(FRxCap, kRxDrainCap)), eventChar, lost);
    fill.EventChar = fill.EventChar || eventChar;
    if (lost) NoteDeviceLost();
    std::lock_guard lock(FRxMutex);
    return int(FRxStore.size());
}

void TSerial::NotifyUnread(const TRxFill& fill) {
    if (fill.Added == 0 || !FThread) return;
    {
        std::lock_guard lock(FRxMutex);
        if (FRxStore.isEmpty()) return;
    }
    // Bytes this call took from the kernel and left in the store arrived unseen by the
    // event thread: it reports them as it would have.
    FRxUnseen.fetch_or(EV_RXCHAR | (fill.EventChar ? EV_RXFLAG : 0));
    WakeThread();
}

int TSerial::TakeRx(char* buffer, int max) {
    int n;
    bool wasFull;
    {
        std::lock_guard lock(FRxMutex);
        wasFull = FRxStore.size() >= FRxCap;
        n = int(std::min<qsizetype>(max, FRxStore.size()));
        if (n > 0) {
            memcpy(buffer, FRxStore.constData(), size_t(n));
            FRxStore.remove(0, n);
        }
    }
    // The event thread stops reading while the store is full; room is back now.
    if (wasFull && n > 0) WakeThread();
    return n;
}

// ---- Transfers

QByteArray TSerial::ReadStringClosed() { return {}; }
int TSerial::WriteBufferClosed(const char*, int) { return 0; }
int TSerial::ReadBufferClosed(char*, quint32) { return 0; }
int TSerial::WriteStringClosed(const QByteArray&) { return 0; }

QByteArray TSerial::ReadStringDirect() {
    TRxFill fill;
    const int n = DrainRx(fill);
    if (n == 0) return {};
    QByteArray result(n, '\0');
    // Cut to what was delivered: nobody sees bytes that were not received.
    result.truncate(TakeRx(result.data(), n));
    NotifyUnread(fill);
    return result;
}

QByteArray TSerial::ReadStringWaited() { return ReadStringDirect(); }

bool TSerial::TxStopped(quint64 aborts) const {
    return FClosing.load() || FLost.load() || FTxAborts.load() != aborts;
}

bool TSerial::RxStopped(quint64 aborts) const {
    return FClosing.load() || FLost.load() || FRxAborts.load() != aborts;
}

bool TSerial::WriteDeadline(int count, std::chrono::steady_clock::time_point& deadline) const {
    deadline = Clock::now() +
               std::chrono::milliseconds(qint64(FTimeouts.WriteTotalTimeoutMultiplier) * count +
                                         FTimeouts.WriteTotalTimeoutConstant);
    return FTimeoutsSet &&
           (FTimeouts.WriteTotalTimeoutMultiplier != 0 || FTimeouts.WriteTotalTimeoutConstant != 0);
}

bool TSerial::NetSend(int fd, const QByteArray& bytes, int ms) {
    // One piece at a time: another thread's piece never lands inside this one.
    std::unique_lock lock(FNetMutex, std::defer_lock);
    if (!lock.try_lock_for(std::chrono::milliseconds(ms))) {
        errno = ETIMEDOUT;
        return false;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += n;
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        // Nothing of it sent yet: the caller may try again later. Begun: it goes out whole
        // (a cut would break the telnet stream), unless the connection goes away.
        if (sent == 0 && MsLeft(true, deadline) == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        if (FClosing.load() || FLost.load()) {
            errno = EPIPE;
            return false;
        }
        pollfd p{fd, POLLOUT, 0};
        poll(&p, 1, 50);
    }
    return true;
}

int TSerial::NetWrite(int fd, const char* buffer, int count, bool wait) {
    const quint64 aborts = FTxAborts.load();
    Quiet(FTxWakeFd, FTxRung);
    Clock::time_point deadline;
    const bool hasDeadline = WriteDeadline(count, deadline);
    const auto charTime = std::chrono::nanoseconds(FCharNs);
    // Waits until `until`, or the socket's queue is down to `queued` bytes; false when the
    // write must stop (abort, close, loss, time-out).
    auto waitFor = [&](Clock::time_point until, int queued) {
        for (;;) {
            if (TxStopped(aborts)) return false;
            const int inSocket = std::max(Port::OutQueue(fd), 0);
            const auto now = Clock::now();
            if (now >= until && inSocket <= queued) return true;
            int ms = 20;
            if (now < until) {
                ms = int(std::min<qint64>(
                    ms, std::chrono::ceil<std::chrono::milliseconds>(until - now).count()));
            }
            const int left = MsLeft(hasDeadline, deadline);
            if (left == 0) return false;
            if (left > 0) ms = std::min(ms, left);
            pollfd p{FTxWakeFd, POLLIN, 0};
            if (poll(&p, 1, std::max(ms, 1)) > 0) Quiet(FTxWakeFd, FTxRung);
        }
    };
    int sent = 0;
    while (sent < count) {
        if (sent > 0 && TxStopped(aborts)) break;
        const int piece = wait ? std::min(count - sent, kPaceBytes) : count - sent;
        if (wait) {
            // The line gets the next piece when the one before has had its time there: the
            // device server holds about one piece, never the whole program.
            Clock::time_point freeAt;
            {
                std::lock_guard lock(FPaceMutex);
                freeAt = FLineFreeAt;
            }
            if (!waitFor(freeAt, kPaceBytes)) break;
        }
        const QByteArray bytes = FOpenRfc2217
                                     ? Rfc2217::Escape(QByteArrayView(buffer + sent, piece))
                                     : QByteArray::fromRawData(buffer + sent, piece);
        if (!NetSend(fd, bytes, wait ? std::max(MsLeft(hasDeadline, deadline), 0) + 1000 : 0)) {
            const int e = errno;
            if (e != ETIMEDOUT && e != EAGAIN && e != EWOULDBLOCK) {
                NoteDeviceLost();
                break;
            }
            // A piece begun goes out whole (an escaped pair must never be cut); one not
            // begun waits for the next write.
            if (!wait) break;
            continue;
        }
        sent += piece;
        std::lock_guard lock(FPaceMutex);
        FLineFreeAt = std::max(FLineFreeAt, Clock::now()) + charTime * piece;
    }
    if (wait && sent > 0) {
        // Sent when the last byte has had its time on the line and the device server has
        // taken every byte. What it holds cannot be taken back: a write that stops waiting
        // early still counts it.
        Clock::time_point freeAt;
        {
            std::lock_guard lock(FPaceMutex);
            freeAt = FLineFreeAt;
        }
        waitFor(freeAt, 0);
    }
    if (sent > 0 && (FCommMask & EV_TXEMPTY)) {
        FTxPending.store(true);
        WakeThread();
    }
    return sent;
}

int TSerial::WaitedWrite(const char* buffer, int count, bool wait) {
    const int fd = FHandle.load();
    if (fd < 0 || count < 0) return 0;
    if (FOpenIsSocket) return NetWrite(fd, buffer, count, wait);
    // An abort rung before this write began is not this write's.
    const quint64 aborts = FTxAborts.load();
    Quiet(FTxWakeFd, FTxRung);
    Clock::time_point deadline;
    const bool hasDeadline = WriteDeadline(count, deadline);
    int sent = 0;
    for (;;) {
        // Nothing more after an abort or a close: the purge may have dropped bytes before it.
        if (sent > 0 && TxStopped(aborts)) break;
        const ssize_t n = ::write(fd, buffer + sent, size_t(count - sent));
        if (n > 0) sent += int(n);
        if (sent >= count) break;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            if (PortError::FromErrno(errno) == peLost ||
                PortError::FromErrno(errno) == peNoDevice || errno == ETIMEDOUT) {
                NoteDeviceLost();
            }
            break;
        }
        if (n > 0) continue;
        if (!wait || TxStopped(aborts)) break;
        const int left = MsLeft(hasDeadline, deadline);
        if (left == 0) break;
        pollfd p[2] = {{fd, POLLOUT, 0}, {FTxWakeFd, POLLIN, 0}};
        const int r = poll(p, 2, left);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        if (p[1].revents & POLLIN) Quiet(FTxWakeFd, FTxRung);  // the loop looks at why
        if (p[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
            NoteDeviceLost();
            break;
        }
    }
    // Written is not yet sent: a waited write returns when the bytes have left the port.
    if (wait && sent > 0) {
        int queued = 0;
        const int left = MsLeft(hasDeadline, deadline);
        if (TxStopped(aborts) || left == 0) {
            queued = std::max(Port::OutQueue(fd), 0);
        } else {
            queued = Port::Drain(fd, FOpenBaud, left, FTxWakeFd, FOpenIsPty);
        }
        // Gave up (time-out, abort, close): the rest is dropped, so it cannot leak into
        // whatever is written next; the result is what left.
        if (queued > 0) {
            tcflush(fd, TCOFLUSH);
            sent -= std::min(sent, queued);
        }
    }
    if (sent > 0 && (FCommMask & EV_TXEMPTY)) {
        FTxPending.store(true);
        WakeThread();
    }
    return sent;
}

int TSerial::WaitedRead(char* buffer, quint32 count) {
    const int fd = FHandle.load();
    if (fd < 0) return 0;
    const quint64 aborts = FRxAborts.load();
    Quiet(FRxWakeFd, FRxRung);
    const int want = int(std::min<quint32>(count, 1u << 30));
    const bool timed = FTimeoutsSet && (FTimeouts.ReadTotalTimeoutMultiplier != 0 ||
                                        FTimeouts.ReadTotalTimeoutConstant != 0 ||
                                        FTimeouts.ReadIntervalTimeout != 0);
    const auto total = Clock::now() + std::chrono::milliseconds(
                                          qint64(FTimeouts.ReadTotalTimeoutMultiplier) * want +
                                          FTimeouts.ReadTotalTimeoutConstant);
    bool hasInterval = false;
    Clock::time_point interval;
    int got = 0;
    TRxFill fill;
    for (;;) {
        DrainRx(fill);
        const int n = TakeRx(buffer + got, want - got);
        if (n > 0 && timed && FTimeouts.ReadIntervalTimeout != 0) {
            hasInterval = true;
            interval = Clock::now() + std::chrono::milliseconds(FTimeouts.ReadIntervalTimeout);
        }
        got += n;
        if (got >= want) break;
        if (RxStopped(aborts)) break;
        int left = MsLeft(timed, total);
        if (hasInterval) {
            const int gap = MsLeft(true, interval);
            left = left < 0 ? gap : std::min(left, gap);
        }
        if (left == 0) break;
        // The event thread may take the bytes first; then look at the store again soon.
        if (FThread) left = left < 0 ? 50 : std::min(left, 50);
        pollfd p[2] = {{fd, POLLIN, 0}, {FRxWakeFd, POLLIN, 0}};
        const int r = poll(p, 2, left);
        if (r < 0 && errno != EINTR) break;
        if (r > 0 && (p[1].revents & POLLIN)) Quiet(FRxWakeFd, FRxRung);
    }
    NotifyUnread(fill);
    return got;
}

int TSerial::WriteBufferDirect(const char* buffer, int count) {
    return WaitedWrite(buffer, count, false);
}
int TSerial::WriteBufferWaited(const char* buffer, int count) {
    return WaitedWrite(buffer, count, FSyncWait.load());
}
int TSerial::WriteStringDirect(const QByteArray& text) {
    return WaitedWrite(text.constData(), int(text.size()), false);
}
int TSerial::WriteStringWaited(const QByteArray& text) {
    return WaitedWrite(text.constData(), int(text.size()), FSyncWait.load());
}

int TSerial::ReadBufferDirect(char* buffer, quint32 count) {
    if (count == 0) return 0;
    TRxFill fill;
    const int queued = DrainRx(fill);
    const quint32 n = FSyncWait.load() ? count : quint32(queued);
    const quint32 want = std::min(count, n);
    const int got = want == 0 ? 0 : TakeRx(buffer, int(std::min<quint32>(want, 1u << 30)));
    NotifyUnread(fill);
    return got;
}

int TSerial::ReadBufferWaited(char* buffer, quint32 count) {
    if (count == 0) return 0;
    if (!FSyncWait.load()) return ReadBufferDirect(buffer, count);
    return WaitedRead(buffer, count);
}

int TSerial::ReadBuffer(QByteArray& buffer, quint32 count) {
    buffer.resize(qsizetype(std::min<quint32>(count, 1u << 30)));
    const int n = ReadBuffer(buffer.data(), quint32(buffer.size()));
    buffer.truncate(n);
    return n;
}

// ---- Queues

void TSerial::GetQueueStatus(int& inQueue, int& outQueue) {
    inQueue = 0;
    outQueue = 0;
    std::shared_lock lock(FTransferMutex);
    if (!FActive) return;
    TRxFill fill;
    inQueue = DrainRx(fill);
    NotifyUnread(fill);
    outQueue = std::max(Port::OutQueue(FHandle.load()), 0);
}

int TSerial::InQueueCount() {
    int in = 0, out = 0;
    GetQueueStatus(in, out);
    return in;
}

bool TSerial::PurgeBuffers(bool txAbort, bool rxAbort, bool txClear, bool rxClear) {
    std::shared_lock lock(FTransferMutex);
    if (!FActive) return false;
    const int fd = FHandle.load();
    // The counts go up before the ring: a waiting transfer that wakes sees why.
    if (txAbort) {
        ++FTxAborts;
        Ring(FTxWakeFd, FTxRung);
    }
    if (rxAbort) {
        ++FRxAborts;
        Ring(FRxWakeFd, FRxRung);
    }
    bool ok = true;
    // A connection's sent bytes cannot be taken back; its received ones are read and dropped.
    if ((txAbort || txClear) && !FOpenIsSocket) ok = tcflush(fd, TCOFLUSH) == 0 && ok;
    if (FOpenRfc2217) {
        // The device server's own buffers too.
        using namespace Rfc2217;
        if (txAbort || txClear) {
            ok = NetSend(fd, Command(PurgeData, kPurgeToSend), 200) && ok;
            std::lock_guard paceLock(FPaceMutex);
            FLineFreeAt = std::chrono::steady_clock::now();
        }
        if (rxAbort || rxClear) ok = NetSend(fd, Command(PurgeData, kPurgeReceived), 200) && ok;
    }
    if ((rxAbort || rxClear) && FOpenIsSocket) {
        // Read through the telnet parser, so that no command is cut; the data is dropped below.
        bool eventChar = false, lost = false;
        FillRx(-1, eventChar, lost);
    } else if (rxAbort || rxClear) {
        ok = tcflush(fd, TCIFLUSH) == 0 && ok;
    }
    if (rxAbort || rxClear) {
        std::lock_guard rxLock(FRxMutex);
        FRxStore.clear();
    }
    WakeThread();
    return ok;
}
