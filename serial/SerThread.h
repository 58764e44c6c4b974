#pragma once
// The event thread of a serial component: waits for line and data events of the owner's
// port and dispatches them to the handlers (Serial.h says on which thread).
#include <QThread>
#include <array>
#include <atomic>
#include <memory>
#include <mutex>

#include "serial/Port.h"
#include "serial/Serial.h"
#include "serial/WakeUp.h"

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
    TWakeUp FWake;
    bool FWatchLine = false;       // the device has modem lines and a handler wants them
    Port::TLineState FLineAtOpen;  // modem bits and line counters at open
    std::atomic<bool> FStop{false};
    std::mutex FSyncMutex;
    std::shared_ptr<TSyncCall> FSync;  // the dispatch waiting on the owner's thread
};
