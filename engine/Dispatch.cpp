// Deciding on a transmission the framing ended: the machine called a program (sent back), sent
// one (saved), or sent part of one (kept whole in a file of its own, never saved under its
// name). The decision on a call or a program keeps its steps and texts as the receive
// dispatcher always had them.
#include <QFileInfo>

#include "common/Ansi.h"
#include "common/Errors.h"
#include "common/FileReplace.h"
#include "config/ConfigValues.h"
#include "engine/TransferEngine.h"
#include "engine/TransferRules.h"
#include "serial/Serial.h"

namespace {

const char kTempFile[] = "xxx.tmp";

QByteArray Num(qsizetype n) { return QByteArray::number(n); }

}  // namespace

void TTransferEngine::Decide(TTransmission t) {
    using namespace TransferRules;
    switch (t.kind) {
        case TTransmission::Kind::Piece:
            SpillOverlong(t.Text);
            return;
        case TTransmission::Kind::Dropped:
            View->Trace(Ansi::Lit("Empfang ohne Buchstaben oder Ziffern nach ") +
                        Num(QuietTimeMs() / 1000) + Ansi::Lit(" s Ruhe verworfen: ") +
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
        AppendSynced(kTempFile, t.Text + "\r\n");
        View->Trace(Ansi::Lit("Programmende nach überlangem Empfang: nur in xxx.tmp gesichert"));
        return;
    }
    RxPrg = t.Text;
    // "xxx.tmp" holds the transmission being decided on: a crash in its save finds it there,
    // unless an overlong reception goes on there: it has no other place.
    try {
        if (!RxOverflow) WriteAtomic(kTempFile, t.Text, "\r\n");
    } catch (const FileError& e) {
        // The copy failed, the transmission did not: it is still saved or answered.
        View->Trace(QByteArray(e.what()));
    }
    Dispatch(t.Text);
}

void TTransferEngine::Dispatch(const QByteArray& completed) {
    using namespace TransferRules;

    // A transmission long enough to be a call, that begins like one: its number names the file
    // to send. Nothing else ever sets it, so a call sends what it names or nothing. Each line
    // end counts as CR LF, whatever the control sent.
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

    // The trace shows the transmission; the leading part reaches up to the first program
    // mark, wherever it stands: shown cut.
    const QByteArray leadingShown = ForTrace(leading, 256);
    View->Trace(ForTrace(completed) + "  DateiK    =  " + leadingShown +
                " I= " + (longEnough ? "2" : "0"));
    View->Trace("CnCDatei =  " + callHead);

    const QByteArray lengthText = "  " + Num(length);
    const QByteArray called = isCall ? SendFileName : QByteArray();
    switch (TransferRules::Decide(leading, callHead, called, length, CfgPrgAK())) {
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
            Log(fullPath + " gesendete PRG Nr = " + Num(PrgCount));
        } else {
            Log(fullPath + Ansi::Lit(" nicht vollständig gesendet: abgebrochen nach Zeile ") +
                Num(linesSent) + " von " + Num(lines) + " (" + JobEndReason + ")");
        }
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
