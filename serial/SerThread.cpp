#include "serial/SerThread.h"

#include <errno.h>
#include <poll.h>

#include <QMetaObject>
#include <condition_variable>
#include <cstdio>
#include <exception>

#include "serial/Transport.h"

const quint32 TSerThread::DispatchOrder[HandlerCount] = {
    EV_BREAK, EV_CTS, EV_DSR, EV_ERR, EV_RING, EV_RLSD, EV_RXCHAR, EV_RXFLAG, EV_TXEMPTY};

// How often modem lines, line counters and the output queue are looked at while there is
// something to look at; the kernel offers no poll()able event for them.
static constexpr int LinePollMs = 50;

struct TSyncCall {
    std::mutex Mutex;
    std::condition_variable Done;
    bool Finished = false;
    bool Cancelled = false;
};

TSerThread::TSerThread(TSerial* owner, quint32 commMask) : FOwner(owner), FCommMask(commMask) {
    FHandlers = std::make_shared<const THandlers>(
        THandlers{owner->OnBreak, owner->OnCts, owner->OnDsr, owner->OnError, owner->OnRing,
                  owner->OnDcd, owner->OnRxChar, owner->OnEventChar, owner->OnTxEmpty});
    // Read here, on the opening thread: a change right after the open is a change.
    constexpr quint32 lineBits = EV_CTS | EV_DSR | EV_RING | EV_RLSD | EV_BREAK | EV_ERR;
    FWatchLine = (commMask & lineBits) && owner->FTransport->ReadLineState(FLineAtOpen);
}

TSerThread::~TSerThread() {
    RequestStop();
    wait();
}

void TSerThread::RequestStop() {
    FStop.store(true);
    {
        std::lock_guard lock(FSyncMutex);
        if (FSync) {
            std::lock_guard callLock(FSync->Mutex);
            FSync->Cancelled = true;
            FSync->Done.notify_all();
        }
    }
    Wake();
}

void TSerThread::Wake() { FWake.Ring(); }

void TSerThread::Dispatch(TSerial* owner, quint32 mask, const THandlers& handlers) {
    if (!owner->EnableEvents()) return;
    for (int i = 0; i < HandlerCount; ++i) {
        if (!(mask & DispatchOrder[i]) || !handlers[i]) continue;
        try {
            handlers[i](owner);
        } catch (const std::exception& e) {
            // Nobody up the event thread could catch it; the port stays in service.
            std::fprintf(stderr, "serial event handler failed: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "serial event handler failed\n");
        }
    }
}

void TSerThread::DispatchEvents() { Dispatch(FOwner, EventMask, *FHandlers); }

void TSerThread::DispatchOnOwnerThread() {
    auto call = std::make_shared<TSyncCall>();
    {
        std::lock_guard lock(FSyncMutex);
        if (FStop.load()) return;
        FSync = call;
    }
    // The call holds its own copies: it may run while Close() ends this thread.
    QMetaObject::invokeMethod(
        FOwner,
        [call, owner = FOwner, mask = EventMask, handlers = FHandlers] {
            {
                std::lock_guard lock(call->Mutex);
                if (call->Cancelled) return;
            }
            Dispatch(owner, mask, *handlers);
            std::lock_guard lock(call->Mutex);
            call->Finished = true;
            call->Done.notify_all();
        },
        Qt::QueuedConnection);
    {
        std::unique_lock lock(call->Mutex);
        call->Done.wait(lock, [&] { return call->Finished || call->Cancelled; });
    }
    std::lock_guard lock(FSyncMutex);
    FSync.reset();
}

void TSerThread::Execute() {
    TTransport& transport = *FOwner->FTransport;
    const int fd = transport.Handle();
    Port::TLineState before = FLineAtOpen;
    bool watchLine = FWatchLine;
    while (!FStop.load()) {
        bool full;
        {
            std::lock_guard lock(FOwner->FRxMutex);
            full = FOwner->FRxStore.size() >= FOwner->FRxCap;
        }
        const bool watchTx = (FCommMask & EV_TXEMPTY) && FOwner->FTxPending.load();
        // A full store is not read: poll() would report the waiting bytes at once, again
        // and again. Hang-up and errors are reported whatever is asked for.
        pollfd p[2] = {{fd, short(full ? 0 : POLLIN), 0}, {FWake.Handle(), POLLIN, 0}};
        // Without a wake-up descriptor a stop request is seen at the next look.
        const bool look = watchLine || watchTx || FWake.Handle() < 0;
        const int r = poll(p, 2, look ? LinePollMs : -1);
        if (FStop.load()) break;
        if (r < 0) {
            if (errno == EINTR) continue;
            FOwner->NoteDeviceLost();
            break;
        }
        if (p[1].revents & POLLIN) FWake.Quiet();
        quint32 events = 0;
        bool lost = p[0].revents & (POLLHUP | POLLERR | POLLNVAL);
        if (p[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            bool eventChar = false, failed = false;
            if (FOwner->FillRx(FOwner->FRxCap, eventChar, failed) > 0) events |= EV_RXCHAR;
            if (eventChar) events |= EV_RXFLAG;
            lost = lost || failed;
        }
        events |= FOwner->FRxUnseen.exchange(0);
        events |= transport.TakeLineEvents();
        if (watchLine) {
            Port::TLineState now;
            if (transport.ReadLineState(now)) {
                events |= Port::LineEvents(before, now);
                before = now;
            } else {
                watchLine = false;  // the device lost its lines; a hang-up follows
            }
        }
        if (watchTx && transport.OutQueue() <= 0) {
            FOwner->FTxPending.store(false);
            events |= EV_TXEMPTY;
        }
        EventMask = events & FCommMask;
        if (EventMask != 0 && !FStop.load()) {
            if (FOwner->SyncEventHandling())
                DispatchOnOwnerThread();
            else
                DispatchEvents();
        }
        if (lost) {
            // Stop waiting on a device that is gone; the owner closes it on its thread.
            FOwner->NoteDeviceLost();
            break;
        }
    }
}
