// The receive dispatcher: every OnRxChar of Serial1 lands here. It reads what came into the
// framing (Framing.h), which says where each transmission ends, and decides on each one in
// order: the machine called a program (sent back), sent one (saved), or sent part of one
// (kept whole in a file of its own, never saved under its name).
#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <algorithm>
#include <climits>
#include <cstdio>
#include <vector>

#include "common/Ansi.h"
#include "common/Errors.h"
#include "common/HandlerGuard.h"
#include "config/ConfigValues.h"
#include "engine/KeepReceived.h"
#include "engine/TransferEngine.h"
#include "engine/TransferRules.h"
#include "serial/Serial.h"

namespace {

const char kTempFile[] = "xxx.tmp";

// Seconds without data that end a transmission, when Config.ini does not say.
constexpr int kDefaultRuhezeitS = 5;
constexpr int kMaxRuhezeitS = 3600;

QByteArray Num(qsizetype n) { return QByteArray::number(n); }

// A fresh file in "unvollstaendig/", named after the transmission's "DFS," name; throws
// FileError.
QString KeepIncompleteBytes(const QByteArray& text, const QByteArray& bytes) {
    bool hasKeyword = false;
    return KeepReceived(QLatin1String(kIncompleteFolder), TransferRules::DfsName(text, &hasKeyword),
                        CfgExt(), bytes);
}

QByteArray Shown(const QString& path) {
    return Ansi::FromQString(QFileInfo(path).absoluteFilePath());
}

}  // namespace

void TTransferEngine::Serial1EventChar() {
    // 1-2. Every event but the first after start or reset waits, so more characters gather.
    // The wait is a timer: the window stays alive, and this event holds the line meanwhile.
    RxCount = 0;
    const int d = RxEvents > 0 ? VerweilZeit() : 0;
    if (d > 0) {
        HandlerGoesOn();
        DwellTimer.start(d);
        return;
    }
    ReadAndDispatch();
}

void TTransferEngine::ReadAndDispatch() {
    TakeFromLine(false);
    // 9-14 for each transmission that has ended, in order. One that starts a send leaves the
    // others waiting for the end of that send.
    while (!Arrived.empty() && !Job) {
        const TTransmission t = std::move(Arrived.front());
        Arrived.pop_front();
        Guarded(View->DialogParent(), "Serial1EventChar", [&] {
            RxPrg = t.Text;
            // 9. "xxx.tmp" holds the transmission being decided on: a crash in its save
            // finds it there.
            try {
                // ...unless an overlong reception goes on there: it has no other place.
                if (!RxOverflow) TransferRules::WriteFileAtomic(kTempFile, t.Text, "\r\n");
            } catch (const FileError& e) {
                // The copy failed, the transmission did not: it is still saved or answered.
                View->Trace(QByteArray(e.what()));
            }
            Dispatch(t.Text);
        });
    }
    ++RxEvents;
    ArmFramingTimer();
}

void TTransferEngine::ReadDuringSend() {
    // What waits for the end of the send is held in memory: beyond the limit the bytes wait
    // in the port instead.
    qsizetype waiting = 0;
    for (const TTransmission& t : Arrived) waiting += t.Text.size();
    if (waiting > TransferRules::ReceiveLimit()) {
        // Nothing is read until the send ends (which reads again): no timer spins meanwhile.
        FramingTimer.stop();
        return;
    }
    TakeFromLine(true);
    ArmFramingTimer();
}

void TTransferEngine::TakeFromLine(bool duringSend) {
    FramingDue = false;
    // 3. All bytes waiting now.
    const QByteArray chunk = Serial1->ReadString();
    ConfigureFraming();
    // The bytes count as come when the event thread saw them come, not when this event got
    // to read them: a busy window makes no pause of the line. Bytes no report has announced
    // yet were taken from the port just now.
    const qint64 now = ReceiveClock.elapsed();
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

    // 6-8. The count, and the raw text as it came.
    RxCount = static_cast<int>(chunk.size());
    if (!chunk.isEmpty()) {
        const qsizetype size =
            RxBuffer.isEmpty() && !ended.empty() ? ended.back().first.Text.size() : RxBuffer.size();
        View->Trace(" " + Num(RxCount) + " - " + Num(size));
        View->Received(chunk);
        if (!duringSend) QCoreApplication::processEvents();
    }
    for (auto& [t, cameDuringSend] : ended) {
        try {
            TakeEnded(std::move(t), cameDuringSend);
        } catch (const std::exception& e) {
            // The next transmissions are still taken.
            View->Trace(QByteArray(e.what()));
            SetStatus(QByteArray(e.what()));
        }
    }
}

void TTransferEngine::TakeEnded(TTransmission t, bool duringSend) {
    using namespace TransferRules;
    switch (t.kind) {
        case TTransmission::Kind::Piece:
            SpillOverlong(t.Text);
            return;
        case TTransmission::Kind::Dropped:
            View->Trace(Ansi::Lit("Empfang ohne Buchstaben oder Ziffern nach ") +
                        Num(RuhezeitMs() / 1000) + Ansi::Lit(" s Ruhe verworfen: ") +
                        Num(t.Text.size()) + " Zeichen");
            return;
        case TTransmission::Kind::Incomplete:
            KeepIncomplete(t);
            return;
        case TTransmission::Kind::Complete:
            break;
    }
    if (t.Spilled) {
        RxOverflow = false;
        AppendFileSynced(kTempFile, t.Text + "\r\n");
        View->Trace(Ansi::Lit("Programmende nach überlangem Empfang: nur in xxx.tmp gesichert"));
        return;
    }
    // A call while a send runs: the control was reset and wants a new program. One sent in
    // one go with the transmission before it (two calls back to back), or one that the port
    // held before the send began, waits its turn.
    if (duringSend && !t.Follows && IsCallText(t.Text, CfgPrgAK())) NewCallDuringSend();
    Arrived.push_back(std::move(t));
}

void TTransferEngine::SpillOverlong(const QByteArray& piece) {
    using namespace TransferRules;
    if (RxOverflow) {
        AppendFileSynced(kTempFile, piece);
        return;
    }
    RxOverflow = true;
    WriteFileAtomic(kTempFile, piece);
    View->Trace(Ansi::Lit("Empfang ohne Programmende über ") + Num(ReceiveLimit()) +
                Ansi::Lit(" Zeichen: Empfangenes steht in xxx.tmp, wird dort fortgesetzt und "
                          "nicht gespeichert"));
}

void TTransferEngine::KeepIncomplete(const TTransmission& t) {
    using namespace TransferRules;
    const QByteArray why = t.Cut ? Ansi::Lit("Verbindung zum Gerät verloren")
                                 : "nach " + Num(RuhezeitMs() / 1000) + " s ohne Daten";
    // The head of a cut transmission was kept at the loss: its file gets the whole.
    const QString cutFile = t.Cut ? std::exchange(CutFile, QString()) : QString();
    QString path;
    qint64 total = t.Text.size();
    try {
        if (t.Spilled) {
            // The head is in "xxx.tmp" already: the rest follows it there, and the whole moves
            // onto a name taken for it.
            RxOverflow = false;
            AppendFileSynced(kTempFile, t.Text);
            total = QFileInfo(QString::fromLatin1(kTempFile)).size();
            // Its "DFS," name stands in the head, at the start of "xxx.tmp".
            QFile head(QString::fromLatin1(kTempFile));
            const QByteArray start = head.open(QIODevice::ReadOnly) ? head.read(4096) : t.Text;
            path = KeepIncompleteBytes(start, QByteArray());
            // Onto the empty file taken for it (a rename that replaces, unlike QFile's).
            if (::rename(kTempFile, QFile::encodeName(path).constData()) != 0) {
                const int err = errno;
                QFile::remove(path);
                throw FileError("Umbenennen", path, err);
            }
        } else if (!cutFile.isEmpty()) {
            path = cutFile;
            WriteFileAtomic(path, t.Text);
        } else {
            path = KeepIncompleteBytes(t.Text, t.Text);
        }
    } catch (const FileError& e) {
        // Nothing is lost still: the bytes go to "xxx.tmp", and the message says so.
        const QByteArray text = Ansi::Lit("Empfang unvollständig (") + why + "), " +
                                QByteArray(e.what()) + Ansi::Lit(": die Zeichen stehen in xxx.tmp");
        if (!t.Spilled) WriteFileAtomic(kTempFile, t.Text);
        View->Trace(text);
        SetStatus(text);
        LogText = text + " ";
        LogFile();
        return;
    }
    const QByteArray where = Shown(path);
    const QByteArray text = Ansi::Lit("Empfang unvollständig (") + why + "): " + Num(total) +
                            " Zeichen stehen in " + where + ", nicht gespeichert";
    View->Trace(text);
    SetStatus(text);
    LogText = where + Ansi::Lit(" unvollständig empfangen (") + why + ") ";
    LogFile();
}

void TTransferEngine::ReceiveLost() {
    Framing.Cut(ReceiveClock.elapsed());
    RxBuffer = Framing.Held();
    std::vector<TTransmission> ended;
    while (auto t = Framing.Next()) ended.push_back(std::move(*t));
    for (TTransmission& t : ended) {
        try {
            TakeEnded(std::move(t), Job != nullptr);
        } catch (const std::exception& e) {
            View->Trace(QByteArray(e.what()));
        }
    }
    if (!Arrived.empty()) ReceiveAgain();
    // What came before the loss is on disk now; what follows the reconnect is added to it.
    if (Framing.CutUnderWay() && !RxOverflow && CutFile.isEmpty()) {
        try {
            const QString path = KeepIncompleteBytes(Framing.Held(), Framing.Held());
            CutFile = path;
            View->Trace(Ansi::Lit("Empfang unterbrochen: ") + Num(Framing.Held().size()) +
                        Ansi::Lit(" Zeichen stehen in ") + Shown(CutFile) +
                        Ansi::Lit(", was nach dem Wiederverbinden folgt, kommt dazu"));
        } catch (const FileError& e) {
            View->Trace(QByteArray(e.what()));
        }
    }
    ArmFramingTimer();
}

void TTransferEngine::ReceiveResumed() {
    Framing.Resumed(ReceiveClock.elapsed());
    ArmFramingTimer();
}

void TTransferEngine::ReceiveAgain() {
    Deferred[int(SerialEvent::RxChar)] = true;
    QueuePump();
}

int TTransferEngine::RuhezeitMs() {
    const QByteArray value = CfgQuiet().trimmed();
    if (value.isEmpty()) return kDefaultRuhezeitS * 1000;
    bool ok = false;
    const int seconds = value.toInt(&ok);
    if (ok && seconds >= 1 && seconds <= kMaxRuhezeitS) {
        BadQuietReported.clear();
        return seconds * 1000;
    }
    if (BadQuietReported != value) {
        BadQuietReported = value;
        View->Trace(Ansi::Lit("Ruhezeit ( s ) \"") + value +
                    Ansi::Lit("\" ist keine ganze Zahl von 1 bis 3600: es gelten ") +
                    Num(kDefaultRuhezeitS) + " s");
    }
    return kDefaultRuhezeitS * 1000;
}

void TTransferEngine::ConfigureFraming() {
    // Bytes that came before the dwell's end may be taken as come at its end.
    const int dwell = VerweilZeit();
    Framing.SetTimes(qint64(RuhezeitMs()) + dwell, TFraming::kTrailerMs + dwell);
    Framing.SetProgramIdentifier(CfgPrgAK());
    Framing.SetLimit(TransferRules::ReceiveLimit());
}

void TTransferEngine::ArmFramingTimer() {
    const qint64 deadline = Framing.Deadline();
    if (deadline < 0) {
        FramingTimer.stop();
        return;
    }
    const qint64 wait = deadline - ReceiveClock.elapsed() + 1;
    FramingTimer.start(int(std::clamp<qint64>(wait, 0, INT_MAX)));
}

void TTransferEngine::Dispatch(const QByteArray& completed) {
    using namespace TransferRules;

    // 10. A transmission long enough to be a call, that begins like one: its number names
    // the file to send. Nothing else ever sets it, so a call sends what it names or nothing.
    // Each line end counts as CR LF, whatever the control sent.
    const QByteArray leading = LeadingPart(completed, CfgPrgAK());
    const int length = static_cast<int>(completed.size());
    const bool longEnough = CallLength(completed) > kCallThreshold;
    QByteArray callHead;
    bool isCall = false;
    if (longEnough) {
        callHead = CallHead(CfgPrgAK());
        isCall = leading == callHead;
        if (isCall) {
            QByteArray number;
            const QByteArray problem = CallNumberProblem(completed, CfgAK(), &number);
            if (!problem.isEmpty()) {
                SendFileName.clear();
                View->Trace("Abruf ohne Programmnummer: " + problem);
                SetStatus("Abruf ohne Programmnummer");
            } else {
                SendFileName = number + "." + CfgExt();
                SetStatus(" Datei zum Senden gefunden   =  " + SendFileName);
                View->Banner("Datei  " + SendFileName + "  wird gesendet", TBanner::AppendLine);
            }
        }
    }

    // 11-12.
    // The leading part reaches up to the first program mark, wherever it stands: shown cut.
    const QByteArray leadingShown = ForTrace(leading, 256);
    View->Trace(ForTrace(completed) + "  DateiK    =  " + leadingShown +
                " I= " + (longEnough ? "2" : "0"));
    View->Trace("CnCDatei =  " + callHead);

    // 14.
    const QByteArray lengthText = "  " + Num(length);
    const QByteArray called = isCall ? SendFileName : QByteArray();
    switch (Decide(leading, callHead, called, length, CfgPrgAK())) {
        case ReceiveCase::SendCalled:
            AnswerCall(leading, lengthText);
            break;
        case ReceiveCase::SaveAfterCall:
            RevFileSave();
            View->Trace("Datei ist zum Speichern" + leadingShown + lengthText);
            break;
        case ReceiveCase::SaveProgram:
            View->Trace("Datei ist zum Speichern" + leadingShown + lengthText);
            RevFileSave();
            View->Trace("Datei ist zum Speichern" + leadingShown + lengthText);
            break;
        case ReceiveCase::CallWithoutName:
        case ReceiveCase::CallNotSaved3333:
        case ReceiveCase::NotAProgram:
        case ReceiveCase::NotSaved3333:
            break;
    }
}

void TTransferEngine::AnswerCall(const QByteArray& leading, const QByteArray& lengthText) {
    View->Trace("Datei ist zum senden" + leading + lengthText);
    // A missing file is reported; the table still holds the last program, which must not go
    // out as the one called.
    if (!SendPrgLoad()) return;
    const QString path = SendPath;
    AutoSendSerial(TSendKind::Called, [this, path](TSendEnd end, int linesSent) {
        const int lines = SendLines().Count();
        const QByteArray fullPath = Ansi::FromQString(QFileInfo(path).absoluteFilePath());
        // Only a program that went out whole is logged as sent.
        if (end == TSendEnd::Complete) {
            ++PrgCount;
            LogText = fullPath + " gesendete PRG Nr = " + Num(PrgCount);
        } else {
            LogText = fullPath + Ansi::Lit(" nicht vollständig gesendet: abgebrochen nach Zeile ") +
                      Num(linesSent) + " von " + Num(lines) + " (" + JobEndReason + ")";
        }
        LogFile();
    });
}

void TTransferEngine::NewCallDuringSend() {
    if (!Job || Job->Finished() || JobAborted) return;
    View->Trace(Ansi::Lit("Neuer Abruf während des Sendens: das Senden wird abgebrochen"));
    // No further line goes out; what the port still holds is dropped, so the answer to the
    // new call does not follow the rest of the old program.
    JobAborted = true;
    JobAbortReason = "neuer Abruf";
    Job->Abort();
    Serial1->PurgeBuffers(true, false, true, false);
    AbortTimer.start();
}
