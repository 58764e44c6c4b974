#include "engine/TransferEngine.h"

#include <QThread>
#include <algorithm>
#include <climits>

#include "common/Ansi.h"
#include "common/HandlerGuard.h"
#include "config/ConfigValues.h"
#include "serial/Serial.h"

TTransferEngine::TTransferEngine(TSerial* serial, TTransferView* view, QObject* parent)
    : QObject(parent), Serial1(serial), View(view) {
    OpenDialogCnc.defaultSuffix = QStringLiteral("CNC");
    OpenDialogCnc.filter =
        Modal::DialogFilter("CNC Programme(*.CNC)|*.CNC|Alle Programme(*.*)|*.* ");
    OpenDialogSave.defaultSuffix = QStringLiteral("CNC");
    OpenDialogSave.filter =
        Modal::DialogFilter("CNC Programme(*.CNC)|*.CNC|Alle Programme(*.*)|*.* ");
    OpenDialogSave.save = true;

    DwellTimer.setSingleShot(true);
    DwellTimer.setTimerType(Qt::PreciseTimer);
    connect(&DwellTimer, &QTimer::timeout, this, [this] {
        Guarded(View->DialogParent(), "Serial1EventChar", [this] { ReadAndDecide(Now()); });
        HandlerDone();
    });
    ReceiveClock.start();
    FramingTimer.setSingleShot(true);
    FramingTimer.setTimerType(Qt::PreciseTimer);
    connect(&FramingTimer, &QTimer::timeout, this, [this] {
        // The time ends a transmission (or a wait for its line end or tape end): this runs like
        // a receive event, after whatever handler runs now.
        FramingDue = true;
        DeliverSerialEvent(SerialEvent::RxChar);
    });
    SendTimer.setInterval(250);
    connect(&SendTimer, &QTimer::timeout, this, [this] { SendTick(); });
    ReconnectTimer.setInterval(1000);
    connect(&ReconnectTimer, &QTimer::timeout, this, [this] { TryReconnect(); });
    AbortTimer.setInterval(200);
    connect(&AbortTimer, &QTimer::timeout, this, [this] {
        // An abort that came just before a write began did not reach it: purge again.
        if (Job && !Job->Finished()) Serial1->PurgeBuffers(true, false, true, false);
    });
    BindSerialEvents();
}

TTransferEngine::~TTransferEngine() {
    Serial1->OnRxChar = nullptr;
    Serial1->OnCts = nullptr;
    Serial1->OnDsr = nullptr;
    Serial1->OnDeviceLost = nullptr;
    if (Job) {
        Job->Abort();
        Serial1->PurgeBuffers(true, false, true, false);
        Job.reset();
    }
}

// ---- serial events ----------------------------------------------------------------------

void TTransferEngine::BindSerialEvents() {
    Serial1->OnRxChar = [this](TSerial*) {
        LastArrivalMs = ReceiveClock.elapsed();
        PostSerialEvent(SerialEvent::RxChar);
    };
    Serial1->OnCts = [this](TSerial*) { PostSerialEvent(SerialEvent::Cts); };
    Serial1->OnDsr = [this](TSerial*) { PostSerialEvent(SerialEvent::Dsr); };
    // Already on the engine's thread.
    Serial1->OnDeviceLost = [this](TSerial*) { DeliverSerialEvent(SerialEvent::Lost); };
}

void TTransferEngine::PostSerialEvent(SerialEvent kind) {
    // One pending notification per kind: OnRxChar means "bytes are waiting", so a second
    // one before the first was taken adds nothing.
    if (Posted[int(kind)].exchange(true)) return;
    QMetaObject::invokeMethod(
        this, [this, kind] { DeliverSerialEvent(kind); }, Qt::QueuedConnection);
}

void TTransferEngine::DeliverSerialEvent(SerialEvent kind) {
    Posted[int(kind)] = false;
    Deferred[int(kind)] = true;
    Pump();
}

void TTransferEngine::Pump() {
    // A decision waits for the operator: bytes are read, everything else waits.
    if (Deciding > 0) {
        ReadWhileDeciding(Now());
        return;
    }
    // Inside a running handler (its dwell, its processEvents) notifications wait; the
    // handler's end pumps again.
    if (InHandler || Pumping) return;
    Pumping = true;
    for (;;) {
        int next = -1;
        for (int i = 0; i < kSerialEventKinds; ++i) {
            if (!Deferred[i]) continue;
            next = i;
            break;
        }
        if (next < 0) break;
        Deferred[next] = false;
        const auto kind = SerialEvent(next);
        // Bytes announced earlier may have been read by the handler that just ran.
        if (kind == SerialEvent::RxChar && !FramingDue && (Arrived.empty() || Job) &&
            (!Serial1->Active() || Serial1->InQueueCount() == 0)) {
            continue;
        }
        InHandler = true;
        HandlerAsync = false;
        if (kind == SerialEvent::RxChar && Job) {
            // During a send: read, so that a new call is seen; the rest waits for its end.
            Guarded(View->DialogParent(), "Serial1EventChar", [this] { ReadDuringSend(Now()); });
        } else {
            RunSerialHandler(kind);
        }
        if (HandlerAsync) break;  // it goes on later and pumps at its end
        InHandler = false;
    }
    Pumping = false;
}

void TTransferEngine::HandlerDone() {
    InHandler = false;
    HandlerAsync = false;
    QueuePump();
}

void TTransferEngine::ArmFramingTimer() {
    const qint64 deadline = Framing.Deadline();
    if (deadline < 0) {
        FramingTimer.stop();
        return;
    }
    const qint64 wait = deadline - Now() + 1;
    FramingTimer.start(int(std::clamp<qint64>(wait, 0, INT_MAX)));
}

void TTransferEngine::BeginDeciding() {
    ++Deciding;
    // The port announces bytes once and, with its store full, no more: a notification taken
    // before the decision began would otherwise wait for its end.
    if (Deferred[int(SerialEvent::RxChar)]) QueuePump();
}

void TTransferEngine::SayUnusable(int slot, bool usable, const QByteArray& text) {
    if (usable) {
        UnusableSaid.erase(slot);
        return;
    }
    const auto said = UnusableSaid.find(slot);
    if (said != UnusableSaid.end() && said->second == ConfigValues[slot]) return;
    UnusableSaid[slot] = ConfigValues[slot];
    View->Trace(text);
}

void TTransferEngine::SetStatus(const QByteArray& text) {
    ShownStatus = text;
    View->Status(text);
}

void TTransferEngine::QueuePump() {
    // Not from inside the stack of what just ended: the next handler starts afresh.
    if (PumpQueued) return;
    PumpQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            PumpQueued = false;
            Pump();
        },
        Qt::QueuedConnection);
}

void TTransferEngine::RunSerialHandler(SerialEvent kind) {
    QWidget* parent = View->DialogParent();
    switch (kind) {
        case SerialEvent::RxChar:
            Guarded(parent, "Serial1EventChar", [this] { Serial1EventChar(Now()); });
            break;
        case SerialEvent::Cts:
            View->LineSignal(TLineSignal::Cts);
            break;
        case SerialEvent::Dsr:
            View->LineSignal(TLineSignal::Dsr);
            break;
        case SerialEvent::Lost:
            Guarded(parent, "DeviceLost", [this] { PortLost(); });
            break;
    }
}

bool TTransferEngine::RefusedWhileBusy() {
    if (!Busy()) return false;
    const QByteArray note = Ansi::Lit("Eine Übertragung läuft, bitte warten bis sie beendet ist.");
    SetStatus(note);
    View->Trace(note);
    return true;
}

// ---- Clear/Edit and aborting what the port holds --------------------------------------------

void TTransferEngine::SetNull() {
    View->Cleared();
    RxCount = 0;
    TxCount = 0;
    RxEvents = 0;
    BaudLoaded = 0;
    // Empty, not a blank: a blank would begin the next transmission, so that a call could
    // no longer be recognised.
    RxBuffer.clear();
    RxPrg.clear();
    RxOverflow = false;
    Framing.Reset();
    FramingTimer.stop();
    CutFile.clear();
    // The loaded program stays: it can be sent again after Clear/Edit.
    SetStatus(" Parameter der Schnittstelle   " + CfgComPort());
}

void TTransferEngine::AbortSendBy(const QByteArray& who) {
    if (Job && !Job->Finished() && !JobAborted) JobAbortReason = who;
    ButtonTxClearClick();
}

void TTransferEngine::ButtonTxClearClick() {
    if (Job && !Job->Finished()) {
        // No further line goes out; the purge ends the write that waits.
        JobAborted = true;
        Job->Abort();
        AbortTimer.start();
    }
    if (Serial1->PurgeBuffers(true, false, true, false)) {
        SetStatus(Ansi::Lit("Übertragung abgebrochen, Sendepuffer gelöscht."));
    } else {
        SetStatus(Ansi::Lit("Fehler beim löschen des Sendepuffers!"));
    }
}

void TTransferEngine::ButtonRxClearClick() {
    if (Serial1->PurgeBuffers(false, true, false, true)) {
        SetStatus(Ansi::Lit("Übertragung abgebrochen, Empfangspuffer gelöscht."));
    } else {
        SetStatus(Ansi::Lit("Fehler beim löschen des Empfangspuffers!"));
    }
}

void TTransferEngine::StopSend() {
    if (!Job) return;
    JobAborted = true;
    Job->Abort();
    Serial1->PurgeBuffers(true, false, true, false);
    while (!Job->Finished()) {
        QThread::msleep(5);
        Serial1->PurgeBuffers(true, false, true, false);
    }
    SendFinished();
}

void TTransferEngine::Begin(const std::function<void()>& shown) {
    QWidget* parent = View->DialogParent();
    Guarded(parent, "RemoveLeftTemporaries", [this] { RemoveLeftTemporaries(); });
    Guarded(parent, "LogFile", [this] { Log("Beginn "); });
    if (shown) shown();
    Guarded(parent, "CheckFolders", [this] { CheckFolders(); });
    Guarded(parent, "RecoverLastSave", [this] { RecoverLastSave(); });
}
