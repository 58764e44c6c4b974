// The transfer operations of TSerial: the bound reads and writes, queue status and purge.
#include <errno.h>
#include <poll.h>

#include <algorithm>

#include "serial/Serial.h"
#include "serial/Transport.h"

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

bool TSerial::TxStopped(quint64 aborts) const { return Gone() || FTxAborts.load() != aborts; }

bool TSerial::RxStopped(quint64 aborts) const { return Gone() || FRxAborts.load() != aborts; }

bool TSerial::WriteDeadline(int count, std::chrono::steady_clock::time_point& deadline) const {
    deadline = TClock::now() +
               std::chrono::milliseconds(qint64(FTimeouts.WriteTotalTimeoutMultiplier) * count +
                                         FTimeouts.WriteTotalTimeoutConstant);
    return FTimeoutsSet &&
           (FTimeouts.WriteTotalTimeoutMultiplier != 0 || FTimeouts.WriteTotalTimeoutConstant != 0);
}

int TSerial::WaitedWrite(const char* buffer, int count, bool wait) {
    if (!FTransport || count < 0) return 0;
    // An abort rung before this write began is not this write's.
    const quint64 aborts = FTxAborts.load();
    FTxWake.Quiet();
    TWriteControl control;
    control.Wait = wait;
    control.HasDeadline = WriteDeadline(count, control.Deadline);
    control.Wake = &FTxWake;
    control.Stopped = [this, aborts] { return TxStopped(aborts); };
    const TWriteResult result = FTransport->Write(buffer, count, control);
    if (result.Lost) NoteDeviceLost();
    if (result.Sent > 0 && (FCommMask & EV_TXEMPTY)) {
        FTxPending.store(true);
        WakeThread();
    }
    return result.Sent;
}

int TSerial::WaitedRead(char* buffer, quint32 count) {
    if (!FTransport) return 0;
    const quint64 aborts = FRxAborts.load();
    FRxWake.Quiet();
    const int want = int(std::min<quint32>(count, 1u << 30));
    const bool timed = FTimeoutsSet && (FTimeouts.ReadTotalTimeoutMultiplier != 0 ||
                                        FTimeouts.ReadTotalTimeoutConstant != 0 ||
                                        FTimeouts.ReadIntervalTimeout != 0);
    const auto total = TClock::now() + std::chrono::milliseconds(
                                           qint64(FTimeouts.ReadTotalTimeoutMultiplier) * want +
                                           FTimeouts.ReadTotalTimeoutConstant);
    bool hasInterval = false;
    TClock::time_point interval;
    int got = 0;
    TRxFill fill;
    for (;;) {
        DrainRx(fill);
        const int n = TakeRx(buffer + got, want - got);
        if (n > 0 && timed && FTimeouts.ReadIntervalTimeout != 0) {
            hasInterval = true;
            interval = TClock::now() + std::chrono::milliseconds(FTimeouts.ReadIntervalTimeout);
        }
        got += n;
        if (got >= want) break;
        if (RxStopped(aborts)) break;
        int left = timed ? MsLeft(total) : -1;
        if (hasInterval) {
            const int gap = MsLeft(interval);
            left = left < 0 ? gap : std::min(left, gap);
        }
        if (left == 0) break;
        // The event thread may take the bytes first; then look at the store again soon.
        if (FThread) left = left < 0 ? 50 : std::min(left, 50);
        pollfd p[2] = {{FTransport->Handle(), POLLIN, 0}, {FRxWake.Handle(), POLLIN, 0}};
        const int r = poll(p, 2, left);
        if (r < 0 && errno != EINTR) break;
        if (r > 0 && (p[1].revents & POLLIN)) FRxWake.Quiet();
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
    outQueue = std::max(FTransport->OutQueue(), 0);
}

int TSerial::InQueueCount() {
    int in = 0, out = 0;
    GetQueueStatus(in, out);
    return in;
}

bool TSerial::PurgeBuffers(bool txAbort, bool rxAbort, bool txClear, bool rxClear) {
    std::shared_lock lock(FTransferMutex);
    if (!FActive) return false;
    // The counts go up before the ring: a waiting transfer that wakes sees why.
    if (txAbort) {
        ++FTxAborts;
        FTxWake.Ring();
    }
    if (rxAbort) {
        ++FRxAborts;
        FRxWake.Ring();
    }
    const bool tx = txAbort || txClear, rx = rxAbort || rxClear;
    const bool ok = FTransport->Purge(tx, rx);
    if (rx) {
        {
            std::lock_guard rxLock(FRxMutex);
            FTransport->DropInput();
            FRxStore.clear();
        }
        FTransport->Answer();
    }
    WakeThread();
    return ok;
}
