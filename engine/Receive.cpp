// The receive dispatcher: every OnRxChar of Serial1 lands here. It collects the transmission,
// finds its end word, and decides whether the machine called a program (sent back) or sent
// one (saved).
#include <QCoreApplication>
#include <QFileInfo>

#include "common/Ansi.h"
#include "common/Errors.h"
#include "config/ConfigValues.h"
#include "engine/TransferEngine.h"
#include "engine/TransferRules.h"
#include "serial/Serial.h"

namespace {

const char kTempFile[] = "xxx.tmp";

// How long a transmission whose end word came waits for that line's end before it counts
// as complete without it: a control sends the line end right after the end word.
constexpr int kEndLineWaitMs = 500;

QByteArray Num(qsizetype n) { return QByteArray::number(n); }

}  // namespace

void TTransferEngine::Serial1EventChar() {
    // 1-2. Every event but the first after start or reset waits, so more characters gather.
    // The wait is a timer: the window stays alive, and this event holds the line meanwhile.
    RxCount = 0;
    const int d = RxEvents > 0 ? VerweilZeit() : 0;
    if (RxEvents == 0) RxOverflow = false;  // a reset abandons an overlong transmission
    if (d > 0) {
        HandlerGoesOn();
        DwellTimer.start(d);
        return;
    }
    ReadAndDispatch();
}

void TTransferEngine::EndLineTimedOut() {
    // No line end followed the end word: the transmission is complete as it stands. It runs
    // like a receive event, after whatever handler runs now.
    EndLineExpired = true;
    DeliverSerialEvent(SerialEvent::RxChar);
}

void TTransferEngine::ReadAndDispatch() {
    using namespace TransferRules;

    // 3. All bytes waiting now, after what an earlier read left for this transmission.
    QByteArray chunk = RxCarry + Serial1->ReadString();
    RxCarry.clear();
    const QByteArray raw = chunk;

    // 5. The end word, also when the previous read ended in the middle of it. When an end
    // word's line end is still to come, the bytes up to it belong to that transmission, and
    // what follows waits for the next event.
    bool endFlag;
    if (EndPending) {
        bool closed = false;
        const qsizetype take = EndLineRest(chunk, &closed);
        RxCarry = chunk.mid(take);
        chunk.truncate(take);
        // A line end that never comes is not waited for without end.
        PendingLineBytes += chunk.size();
        endFlag = closed || EndLineExpired || PendingLineBytes > kEndLineLimit;
    } else {
        endFlag = EndWordInRead(RxBuffer, chunk);
    }
    EndLineExpired = false;

    // 4. Collect; a leader before a transmission's first printable character is not part of
    // it, and a transmission without end may not grow memory without bound.
    if (RxBuffer.isEmpty() && !RxOverflow) chunk.remove(0, LeaderLength(chunk));
    const qsizetype before = RxBuffer.size();
    if (!RxOverflow && RxBuffer.size() + chunk.size() > ReceiveLimit()) {
        WriteFileAtomic(kTempFile, RxBuffer, chunk);
        RxBuffer.clear();
        RxPrg.clear();
        RxOverflow = true;
        View->Trace(Ansi::Lit("Empfang ohne Programmende über ") + Num(ReceiveLimit()) +
                    Ansi::Lit(" Zeichen: Empfangenes steht in xxx.tmp, wird dort fortgesetzt und "
                              "nicht gespeichert"));
    } else if (RxOverflow) {
        AppendFileSynced(kTempFile, chunk);
    } else {
        // RxPrg shares RxBuffer's bytes; dropping it first lets the append grow the buffer in
        // place instead of copying a long program at every read.
        if (!chunk.isEmpty()) RxPrg.clear();
        RxBuffer += chunk;
        if (!RxBuffer.isEmpty()) RxPrg = RxBuffer;
    }

    // The line end after the end word belongs to this transmission: when it has not come
    // yet, the transmission completes with it (or after a short wait without it).
    if (endFlag && !EndPending && !RxOverflow &&
        !EndLineClosed(RxBuffer, std::max<qsizetype>(0, before - 2))) {
        endFlag = false;
        EndPending = true;
        PendingLineBytes = 0;
        EndLineTimer.start(kEndLineWaitMs);
    } else if (endFlag) {
        EndPending = false;
        EndLineTimer.stop();
    } else if (EndPending && !chunk.isEmpty()) {
        EndLineTimer.start(kEndLineWaitMs);  // still coming: wait on
    }

    // 6-7.
    RxCount += static_cast<int>(raw.size() - RxCarry.size());
    View->Trace(" " + Num(RxCount) + " - " + Num(RxBuffer.size()));

    // 8. The raw text, as it came.
    View->Received(RxCarry.isEmpty() ? raw : raw.left(raw.size() - RxCarry.size()));
    QCoreApplication::processEvents();

    // 9. The transmission is complete.
    QByteArray completed;
    if (endFlag && RxOverflow) {
        AppendFileSynced(kTempFile, "\r\n");
        RxOverflow = false;
        View->Trace(Ansi::Lit("Programmende nach überlangem Empfang: nur in xxx.tmp gesichert"));
    } else if (endFlag && !RxBuffer.isEmpty()) {
        try {
            WriteFileAtomic(kTempFile, RxBuffer, "\r\n");
        } catch (const FileError& e) {
            // The copy failed, the transmission did not: it is still saved or answered.
            View->Trace(QByteArray(e.what()));
        }
        completed = RxBuffer;
        RxBuffer.clear();
    }

    Dispatch(completed);

    // Bytes after a completed line end are the next transmission's: they get an event.
    if (!RxCarry.isEmpty()) PostSerialEvent(SerialEvent::RxChar);
}

void TTransferEngine::Dispatch(const QByteArray& completed) {
    using namespace TransferRules;

    // 10. A transmission long enough to be a call, that begins like one: its number names
    // the file to send. Nothing else ever sets it, so a call sends what it names or nothing.
    const QByteArray leading = LeadingPart(completed, CfgPrgAK());
    const int length = static_cast<int>(completed.size());
    const bool longEnough = length > kCallThreshold;
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

    // 11-13.
    // The leading part reaches up to the first program mark, wherever it stands: shown cut.
    const QByteArray leadingShown = ForTrace(leading, 256);
    View->Trace(ForTrace(completed) + "  DateiK    =  " + leadingShown +
                " I= " + (longEnough ? "2" : "0"));
    View->Trace("CnCDatei =  " + callHead);
    ++RxEvents;

    // 14. Only a complete transmission is a call or a program: a read that ends nothing
    // (a piece of a program, a stray byte) must neither send a program into the machine's
    // transmission nor save half a program.
    if (completed.isEmpty()) return;

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
                      Num(linesSent) + " von " + Num(lines);
        }
        LogFile();
    });
}
