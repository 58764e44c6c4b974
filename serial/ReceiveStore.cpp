// The receive store of TSerial: bytes taken from the device, waiting to be read.
#include <QThread>
#include <algorithm>
#include <cstring>

#include "serial/SerThread.h"
#include "serial/Serial.h"
#include "serial/Transport.h"

namespace {

// The most a read takes from the kernel into the receive store at once (1 MiB).
constexpr int kRxDrainCap = 1 << 20;

}  // namespace

int TSerial::FillRx(int cap, bool& eventChar, bool& lost) {
    eventChar = false;
    lost = false;
    TTransport* transport = FTransport.get();
    if (!transport) return 0;
    std::unique_lock lock(FRxMutex);
    int added = 0;
    QByteArray data;
    for (;;) {
        qsizetype room = 4096;
        if (cap >= 0) room = std::min<qsizetype>(room, cap - FRxStore.size());
        if (room <= 0) break;
        data.resize(0);
        const TRead read = transport->Read(data, room);
        if (read == TRead::Lost) lost = true;  // EIO, ENXIO, a closed connection
        if (read != TRead::Some) break;
        if (data.isEmpty()) continue;  // protocol only
        if (data.contains(FOpenEventChar)) eventChar = true;
        if (!FOpenEliminateNull) {
            FRxStore.append(data);
            added += int(data.size());
            continue;
        }
        for (const char c : data) {
            if (c == '\0') continue;
            FRxStore.append(c);
            ++added;
        }
    }
    lock.unlock();
    transport->Answer();
    if (transport->LineEventsPending() && QThread::currentThread() != FThread.get()) WakeThread();
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
