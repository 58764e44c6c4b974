// Serial1EventChar: every OnRxChar of Serial1 lands here. What came goes into the framing
// (Framing.h), which says where each transmission ends; what it ends waits its turn in Arrived
// and is decided on in order (Dispatch.cpp). Reading never waits for a decision: while one
// waits for the operator in a box, the port is still read into the framing.
#include <QCoreApplication>
#include <algorithm>
#include <vector>

#include "common/Ansi.h"
#include "common/HandlerGuard.h"
#include "config/ConfigFile.h"
#include "config/ConfigValues.h"
#include "engine/TransferEngine.h"
#include "engine/TransferRules.h"
#include "serial/Serial.h"

namespace {

QByteArray Num(qsizetype n) { return QByteArray::number(n); }

}  // namespace

void TTransferEngine::Serial1EventChar(qint64 now) {
    // Every event but the first after start or reset waits, so more characters gather. The
    // wait is a timer: the window stays alive, and this event holds the line meanwhile.
    RxCount = 0;
    const int d = RxEvents > 0 ? VerweilZeit() : 0;
    if (d > 0) {
        HandlerGoesOn();
        DwellTimer.start(d);
        return;
    }
    ReadAndDecide(now);
}

void TTransferEngine::ReadAndDecide(qint64 now) {
    TakeFromLine(now, false);
    DecideArrived();
    ++RxEvents;
    ArmFramingTimer();
}

void TTransferEngine::ReadDuringSend(qint64 now) {
    // What waits for the end of the send is held in memory: beyond the limit the bytes wait
    // in the port instead, and the send's end reads again.
    if (WaitingBytes() > TransferRules::ReceiveLimit()) {
        FramingTimer.stop();  // no timer spins meanwhile
        return;
    }
    TakeFromLine(now, false);
    ArmFramingTimer();
}

void TTransferEngine::ReadWhileDeciding(qint64 now) {
    if (!Deferred[int(SerialEvent::RxChar)] || ReadingAside) return;
    if (WaitingBytes() > TransferRules::ReceiveLimit() && Serial1->InQueueCount() > 0) {
        // The event stays pending: the port is read again once the decision is over.
        if (!LineHeldSaid) {
            LineHeldSaid = true;
            View->Trace(Ansi::Lit("Empfang angehalten: ") + Num(WaitingBytes()) +
                        Ansi::Lit(" Zeichen warten, bis die Meldung beantwortet ist"));
        }
        FramingTimer.stop();
        return;
    }
    Deferred[int(SerialEvent::RxChar)] = false;
    ReadingAside = true;
    Guarded(View->DialogParent(), "Serial1EventChar", [&] { TakeFromLine(now, true); });
    ReadingAside = false;
    ArmFramingTimer();
    // Bytes announced while this read showed what came are read next: the port may have
    // stopped announcing with its store full.
    if (Deferred[int(SerialEvent::RxChar)]) QueuePump();
}

qsizetype TTransferEngine::WaitingBytes() const {
    qsizetype waiting = Framing.HeldSize();
    for (const TTransmission& t : Arrived) waiting += t.Text.size();
    return waiting;
}

void TTransferEngine::TakeFromLine(qint64 now, bool decisionsWait) {
    FramingDue = false;
    if (LineHeldSaid) {
        LineHeldSaid = false;
        View->Trace(Ansi::Lit("Empfang geht weiter"));
    }
    const bool duringSend = Job != nullptr;
    // All bytes waiting now.
    const QByteArray chunk = Serial1->ReadString();
    ConfigureFraming();
    // The bytes count as come when the event thread saw them come, not when this event got
    // to read them: a busy window makes no pause of the line. Bytes no report has announced
    // yet were taken from the port just now.
    const qint64 arrived = LastArrivalMs.load();
    LastFeedMs = std::clamp(arrived > LastFeedMs ? arrived : now, LastFeedMs, now);
    // A full receive store stopped the event thread's reports while a box was open: the line
    // was held by flow control, not quiet.
    if (chunk.size() >= Serial1->BufSizeRec()) LastFeedMs = now;
    // RxBuffer shares the framing's bytes: dropping it first lets them grow in place instead
    // of being copied at every read.
    RxBuffer.clear();
    // Bytes the port held when a send began came before it, however late they are read: a
    // call among them waits its turn instead of stopping the send.
    const qsizetype before = duringSend ? std::min(BytesBeforeSend, chunk.size()) : 0;
    BytesBeforeSend = 0;
    std::vector<std::pair<TTransmission, bool>> ended;  // ...and whether it came during a send
    Framing.Feed(QByteArrayView(chunk).first(before), LastFeedMs);
    while (auto t = Framing.Next()) ended.emplace_back(std::move(*t), false);
    Framing.Feed(QByteArrayView(chunk).sliced(before), LastFeedMs);
    Framing.Tick(now);
    while (auto t = Framing.Next()) ended.emplace_back(std::move(*t), duringSend);
    RxBuffer = Framing.Held();

    // The count, and the raw text as it came.
    RxCount = static_cast<int>(chunk.size());
    if (!chunk.isEmpty()) {
        const qsizetype size =
            RxBuffer.isEmpty() && !ended.empty() ? ended.back().first.Text.size() : RxBuffer.size();
        View->Trace(" " + Num(RxCount) + " - " + Num(size));
        View->Received(chunk);
        // The window shows it before the decisions (inside one, it is showing already).
        if (!duringSend && !decisionsWait) QCoreApplication::processEvents();
    }
    for (auto& [t, cameDuringSend] : ended) TakeEnded(std::move(t), cameDuringSend, decisionsWait);
}

void TTransferEngine::TakeEnded(TTransmission t, bool duringSend, bool decisionsWait) {
    // A call while a send runs: the control was reset and wants a new program. One sent in
    // one go with the transmission before it (two calls back to back), or one that the port
    // held before the send began, waits its turn.
    if (duringSend && t.kind == TTransmission::Kind::Complete && !t.Follows && !t.Spilled &&
        TransferRules::IsCallText(t.Text, CfgPrgAK())) {
        NewCallDuringSend();
    }
    // Programs and calls wait their turn; the rest is kept at once (pieces of an overlong one
    // go on in "xxx.tmp"), unless a decision under way holds "xxx.tmp".
    if (decisionsWait || (t.kind == TTransmission::Kind::Complete && !t.Spilled)) {
        Arrived.push_back(std::move(t));
        return;
    }
    BeginDeciding();
    try {
        Decide(std::move(t));
    } catch (const std::exception& e) {
        // The next transmissions are still taken.
        View->Trace(QByteArray(e.what()));
        SetStatus(QByteArray(e.what()));
    }
    --Deciding;
}

void TTransferEngine::DecideArrived() {
    // In order; one that starts a send leaves the others waiting for the end of that send.
    while (!Arrived.empty() && !Job) {
        TTransmission t = std::move(Arrived.front());
        Arrived.pop_front();
        BeginDeciding();
        Guarded(View->DialogParent(), "Serial1EventChar", [&] { Decide(std::move(t)); });
        --Deciding;
    }
}

void TTransferEngine::ReceiveLost(qint64 now) {
    Framing.Cut(now);
    RxBuffer = Framing.Held();
    std::vector<TTransmission> ended;
    while (auto t = Framing.Next()) ended.push_back(std::move(*t));
    for (TTransmission& t : ended) TakeEnded(std::move(t), Job != nullptr, false);
    if (!Arrived.empty()) ReceiveAgain();
    // What came before the loss is on disk now; what follows the reconnect is added to it.
    if (Framing.CutUnderWay() && !RxOverflow && CutFile.isEmpty()) KeepCutHead();
    ArmFramingTimer();
}

void TTransferEngine::ReceiveResumed(qint64 now) {
    Framing.Resumed(now);
    ArmFramingTimer();
}

void TTransferEngine::ReceiveAgain() {
    Deferred[int(SerialEvent::RxChar)] = true;
    QueuePump();
}

int TTransferEngine::QuietTimeMs() {
    int ms = 0;
    const bool usable = ConfigFile::QuietTimeMs(CfgQuiet(), &ms);
    SayUnusable(CfgSlot::Quiet, usable,
                Ansi::Lit("Ruhezeit ( s ) \"") + CfgQuiet().trimmed() +
                    Ansi::Lit("\" ist keine ganze Zahl von 1 bis 3600: es gelten ") +
                    Num(ConfigFile::kDefaultQuietS) + " s");
    return ms;
}

void TTransferEngine::ConfigureFraming() {
    // Bytes that came before the dwell's end may be taken as come at its end.
    const int dwell = VerweilZeit();
    Framing.SetTimes(qint64(QuietTimeMs()) + dwell, TFraming::kTrailerMs + dwell);
    Framing.SetProgramIdentifier(CfgPrgAK());
    Framing.SetLimit(TransferRules::ReceiveLimit());
}
