// The receive dispatcher: every OnRxChar of Serial1 lands here. It collects the transmission,
// finds its end word, and decides whether the machine called a program (sent back) or sent
// one (saved).
#include <QCoreApplication>
#include <QFileInfo>

#include "common/Ansi.h"
#include "common/HandlerGuard.h"
#include "config/ConfigValues.h"
#include "engine/TransferRules.h"
#include "engine/TransferView.h"
#include "engine/Unit1.h"
#include "serial/Serial.h"

namespace {

const char kTempFile[] = "xxx.tmp";

QByteArray Num(qsizetype n) { return QByteArray::number(n); }

}  // namespace

void TForm1::Serial1EventChar() {
    using namespace TransferRules;
    TransferView::BoundMemos(this);

    // 1-2. Every event but the first after start or reset waits, so more characters gather.
    RxCount = 0;
    if (RxEvents > 0) {
        VerweilZeit();
    } else {
        RxOverflow = false;  // a reset abandons an overlong transmission
    }

    // 3. All bytes waiting now.
    const QByteArray chunk = Serial1->ReadString();

    // 5. The end word, also when the previous read ended in the middle of it.
    const bool endFlag = EndWordInRead(RxBuffer, chunk);

    // 4. Collect; a transmission without end may not grow memory without bound.
    if (!RxOverflow && RxBuffer.size() + chunk.size() > ReceiveLimit()) {
        WriteFileAtomic(kTempFile, RxBuffer + chunk);
        RxBuffer.clear();
        RxPrg.clear();
        RxOverflow = true;
        AppendLine(MemoFile, Ansi::Lit("Empfang ohne Programmende über ") + Num(ReceiveLimit()) +
                                 Ansi::Lit(" Zeichen: Empfangenes steht in xxx.tmp, wird dort "
                                           "fortgesetzt und nicht gespeichert"));
    } else if (RxOverflow) {
        AppendFileSynced(kTempFile, chunk);
    } else {
        // RxPrg shares RxBuffer's bytes; dropping it first lets the append grow the buffer in
        // place instead of copying a long program at every read.
        if (!chunk.isEmpty()) RxPrg.clear();
        RxBuffer += chunk;
        if (!RxBuffer.isEmpty()) RxPrg = RxBuffer;
    }

    // 6-7.
    RxCount += static_cast<int>(chunk.size());
    AppendLine(MemoFile, " " + Num(RxCount) + " - " + Num(RxBuffer.size()));

    // 8. The raw text, appended (never re-set: the memo may hold a long program).
    TransferView::AppendRaw(MemoRec, chunk);
    QCoreApplication::processEvents();

    // 9. The transmission is complete.
    QByteArray completed;
    if (endFlag && RxOverflow) {
        AppendFileSynced(kTempFile, "\r\n");
        RxOverflow = false;
        AppendLine(MemoFile, Ansi::Lit("Programmende nach überlangem Empfang: nur in xxx.tmp "
                                       "gesichert"));
    } else if (endFlag) {
        try {
            WriteFileAtomic(kTempFile, RxBuffer + "\r\n");
        } catch (const FileError& e) {
            // The copy failed, the transmission did not: it is still saved or answered.
            AppendLine(MemoFile, QByteArray(e.what()));
        }
        completed = RxBuffer;
        RxBuffer.clear();
    }

    // 10. A read long enough to be a call: its number names the file to send.
    QByteArray callHead;
    const bool longRead = RxCount > kCallThreshold;
    if (longRead) {
        callHead = CallHead(CfgPrgAK());
        QByteArray number;
        if (CallNumber(completed, CfgAK(), &number)) {
            const QByteArray reason = UnsafeNameReason(number);
            if (!reason.isEmpty()) {
                // A number from the line never becomes a path outside the current folder.
                SendFileName.clear();
                AppendLine(MemoFile, Ansi::Lit("Programmnummer abgelehnt: ") + reason);
            } else {
                SendFileName = number + "." + CfgExt();
                SetStatusText(" Datei zum Senden gefunden   =  " + SendFileName);
                MemoInfo->setVisible(true);
                AppendLine(MemoInfo, "Datei  " + SendFileName + "  wird gesendet");
            }
        }
    }

    // 11-13.
    const QByteArray leading = LeadingPart(completed, CfgPrgAK());
    AppendLine(MemoFile, completed + "  DateiK    =  " + leading + " I= " + (longRead ? "2" : "0"));
    AppendLine(MemoFile, "CnCDatei =  " + callHead);
    ++RxEvents;

    // 14. Only a complete transmission is a call or a program: a read that ends nothing
    // (a piece of a program, a stray byte) must neither send the last program again into
    // the machine's transmission nor save half a program.
    if (completed.isEmpty()) return;

    const QByteArray lengthText = "  " + Num(RxCount);
    switch (Decide(leading, callHead, SendFileName, RxCount, CfgPrgAK())) {
        case ReceiveCase::SendCalled: {
            AppendLine(MemoFile, "Datei ist zum senden" + leading + lengthText);
            // A missing file is reported; the table still holds the last program, which must
            // not go out as the one called.
            if (!SendPrgLoad()) break;
            AutoSendSerial();
            const QFileInfo sent(Ansi::ToQString(SendFileName));
            if (sent.exists()) {
                ++PrgCount;
                LogText = Ansi::FromQString(sent.absoluteFilePath()) +
                          " gesendete PRG Nr = " + Num(PrgCount);
                LogFile();
            }
            break;
        }
        case ReceiveCase::SaveAfterCall:
            RevFileSave();
            AppendLine(MemoFile, "Datei ist zum Speichern" + leading + lengthText);
            break;
        case ReceiveCase::SaveProgram:
            AppendLine(MemoFile, "Datei ist zum Speichern" + leading + lengthText);
            RevFileSave();
            AppendLine(MemoFile, "Datei ist zum Speichern" + leading + lengthText);
            break;
        case ReceiveCase::CallWithoutName:
        case ReceiveCase::CallNotSaved3333:
        case ReceiveCase::NotAProgram:
        case ReceiveCase::NotSaved3333:
            break;
    }
}
